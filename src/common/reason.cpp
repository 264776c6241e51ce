// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "reason.h"

QList<Reason> allReasons()
{
    QList<Reason> reasons;
    // A reason whose code is empty marks the end: WorkerFailed stays last, and the loop stops at
    // the first value past it.
    for (int value = int(Reason::None) + 1; !reasonCode(Reason(value)).isEmpty(); ++value)
        reasons.append(Reason(value));
    return reasons;
}

std::optional<Reason> reasonFromCode(QStringView code)
{
    const QList<Reason> reasons = allReasons();
    for (const Reason reason : reasons) {
        if (code == reasonCode(reason))
            return reason;
    }
    return std::nullopt;
}
