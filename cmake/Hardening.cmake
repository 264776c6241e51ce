# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: Norvatek
# Hardening of optimised builds, as Debian builds its own packages: stack protector, fortified
# libc calls, read-only relocations bound at start. The flags come from dpkg-buildflags where it
# exists, so the build follows the distribution's policy; elsewhere GCC and Clang get the same
# set by hand. Debug builds (-O0 cannot fortify) and the sanitizer build, whose runtime intercepts
# the very calls fortification replaces, get none.

set(LUMETRA_HARDENED_CONFIGS Release RelWithDebInfo MinSizeRel)

function(lumetra_hardening_flags out_compile out_link)
    find_program(DPKG_BUILDFLAGS dpkg-buildflags)
    if(DPKG_BUILDFLAGS)
        # hardening=+all adds immediate binding (-z,now); the -g -O2 baseline is stripped, as the
        # build type already chooses debug information and optimisation.
        set(env DEB_BUILD_MAINT_OPTIONS=hardening=+all "DEB_CXXFLAGS_MAINT_STRIP=-g -O2")
        foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
            execute_process(
                COMMAND ${CMAKE_COMMAND} -E env ${env} ${DPKG_BUILDFLAGS} --get ${kind}
                WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                OUTPUT_VARIABLE value OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE status)
            if(NOT status EQUAL 0)
                message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed")
            endif()
            separate_arguments(value UNIX_COMMAND "${value}")
            set(${kind} ${value})
        endforeach()
        set(${out_compile} ${CPPFLAGS} ${CXXFLAGS} PARENT_SCOPE)
        set(${out_link} ${LDFLAGS} PARENT_SCOPE)
    elseif(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        # A toolchain may already define its own fortify level: replace it, do not redefine it.
        set(${out_compile} -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2 -fstack-protector-strong
            -Wformat -Werror=format-security PARENT_SCOPE)
        if(NOT APPLE)
            set(${out_link} -Wl,-z,relro -Wl,-z,now PARENT_SCOPE)
        endif()
    endif()
endfunction()

if(NOT LUMETRA_SANITIZE)
    lumetra_hardening_flags(lumetra_hardening_compile lumetra_hardening_link)
    message(STATUS "Hardening of ${LUMETRA_HARDENED_CONFIGS} builds: "
        "${lumetra_hardening_compile} ${lumetra_hardening_link}")
    # One condition per flag: a list inside a single generator expression would be split apart.
    string(REPLACE ";" "," configs "${LUMETRA_HARDENED_CONFIGS}")
    foreach(kind compile link)
        list(TRANSFORM lumetra_hardening_${kind} PREPEND "$<$<CONFIG:${configs}>:")
        list(TRANSFORM lumetra_hardening_${kind} APPEND ">")
    endforeach()
    add_compile_options(${lumetra_hardening_compile})
    add_link_options(${lumetra_hardening_link})
endif()
