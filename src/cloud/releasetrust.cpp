// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "releasetrust.h"

#include "cataloguefreshness.h"
#include "releasebranchsetting.h"

#include <QDateTime>
#include <QStringList>

namespace {

const QString timestampField = QStringLiteral("timestamp");
const QString branchField = QStringLiteral("branch");
const QString expiresField = QStringLiteral("expires");
const QChar fieldSeparator = QLatin1Char('\t');
const QChar valueSeparator = QLatin1Char(':');
// Unix seconds fit in 11 digits until the year 5138; more is not a time.
constexpr qsizetype longestSeconds = 11;

// What the signed trusted comment binds the catalogue to. Fields of other names (minisign's own
// "file:", say) are passed over; a field given twice makes the comment ambiguous.
struct Binding
{
    std::optional<qint64> timestamp;
    std::optional<QString> branch;
    std::optional<qint64> expires;
    QString problem; // why the comment binds nothing; empty when it is read
};

std::optional<qint64> secondsOf(const QString &text)
{
    if (text.isEmpty() || text.size() > longestSeconds ||
        !std::all_of(text.begin(), text.end(),
                     [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }))
        return std::nullopt;
    return text.toLongLong();
}

Binding readBinding(const QString &comment)
{
    Binding binding;
    const QStringList fields = comment.split(fieldSeparator);
    for (const QString &field : fields) {
        const qsizetype colon = field.indexOf(valueSeparator);
        if (colon < 0)
            continue;
        const QString key = field.left(colon);
        const QString value = field.mid(colon + 1);
        const bool repeated = (key == timestampField && binding.timestamp) ||
                              (key == branchField && binding.branch) ||
                              (key == expiresField && binding.expires);
        if (repeated) {
            binding.problem = QStringLiteral("its signed comment gives \"%1:\" twice").arg(key);
            return binding;
        }
        if (key == branchField) {
            binding.branch = value;
        } else if (key == timestampField || key == expiresField) {
            const std::optional<qint64> seconds = secondsOf(value);
            if (!seconds) {
                binding.problem =
                    QStringLiteral("its signed \"%1:\" is not a number of seconds").arg(key);
                return binding;
            }
            (key == timestampField ? binding.timestamp : binding.expires) = seconds;
        }
    }
    if (!binding.timestamp || !binding.branch)
        binding.problem = QStringLiteral("its signed comment does not say when and for which "
                                         "branch it was signed (timestamp: and branch:)");
    return binding;
}

QString dateOf(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(Qt::ISODate);
}

// A branch named in a signed comment, as a text may show it: signed by the maker, but still
// bytes from outside, so only a valid branch name is repeated.
QString shownBranch(const QString &branch)
{
    return ReleaseBranchSetting::nameProblem(branch).isEmpty()
               ? branch
               : QStringLiteral("a branch of another name");
}

DownloadFailure refusal(QLatin1String code, const QString &detail)
{
    return {code, detail, 0};
}

} // namespace

ReleaseTrust::ReleaseTrust() : ReleaseTrust(ReleaseSignature::builtInKeys()) {}

ReleaseTrust::ReleaseTrust(const QList<ReleaseSignature::PublicKey> &keys)
    : trustedKeys(keys), signatureRequired(ReleaseSignature::isRequired() || !keys.isEmpty())
{
}

ReleaseTrust::Verdict ReleaseTrust::accept(const Answer &answer, const Source &source) const
{
    Verdict verdict;
    if (signatureRequired) {
        if (answer.signatureFailure.isFailure()) {
            verdict.failure = {DownloadFailure::untrusted,
                               QStringLiteral("its signature could not be fetched (%1)")
                                   .arg(answer.signatureFailure.detail),
                               answer.signatureFailure.httpStatus};
            return verdict;
        }
        // The signature covers the bytes exactly as they came: it is checked before any of them
        // is read as a catalogue.
        verdict.signature =
            ReleaseSignature::verify(answer.catalogue, answer.signature, trustedKeys);
        if (!verdict.signature.ok()) {
            verdict.failure = refusal(DownloadFailure::untrusted, verdict.signature.reason());
            return verdict;
        }
        verdict.failure = checkBinding(verdict.signature, source, verdict.older);
        if (verdict.failure.isFailure())
            return verdict;
    }
    verdict.catalogue = ReleaseCatalogue::parse(answer.catalogue);
    if (!verdict.catalogue)
        verdict.failure = {DownloadFailure::notCatalogue,
                           QStringLiteral("the answer is not a release catalogue"), 0};
    else if (signatureRequired && !verdict.older)
        CatalogueFreshness::accepted(source.serverUrl, source.branch,
                                     *readBinding(verdict.signature.trustedComment).timestamp);
    return verdict;
}

DownloadFailure ReleaseTrust::checkBinding(const ReleaseSignature::Result &signature,
                                           const Source &source, bool &older) const
{
    const Binding binding = readBinding(signature.trustedComment);
    if (!binding.problem.isEmpty())
        return refusal(DownloadFailure::catalogueUnbound, binding.problem);
    if (*binding.branch != source.branch)
        return refusal(DownloadFailure::catalogueWrongBranch,
                       QStringLiteral("it was signed for the branch %1, not %2")
                           .arg(shownBranch(*binding.branch), source.branch));
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (binding.expires && *binding.expires <= now)
        return refusal(DownloadFailure::catalogueExpired,
                       QStringLiteral("it expired at %1").arg(dateOf(*binding.expires)));
    const qint64 newest = source.fromFolder
                              ? CatalogueFreshness::newestOfBranch(source.branch)
                              : CatalogueFreshness::newest(source.serverUrl, source.branch);
    const bool signedBefore = *binding.timestamp < newest;
    if (signedBefore && !source.olderAllowed)
        return refusal(DownloadFailure::catalogueRollback,
                       QStringLiteral("it was signed at %1, before the catalogue of %2 already "
                                      "used for this branch: it is an older release")
                           .arg(dateOf(*binding.timestamp), dateOf(newest)));
    older = signedBefore;
    return {};
}

QString ReleaseTrust::uncheckedFile(const ReleaseVersion &version) const
{
    return signatureRequired ? version.firmwareWithoutChecksum() : QString();
}

DownloadFailure ReleaseTrust::uncheckedFailure(const QString &key)
{
    return {DownloadFailure::checksumMissing,
            QStringLiteral("the signed catalogue publishes no checksum for ") + key, 0};
}

std::optional<qint64> ReleaseTrust::signedAt(const ReleaseSignature::Result &signature)
{
    if (!signature.ok())
        return std::nullopt;
    return readBinding(signature.trustedComment).timestamp;
}

bool ReleaseTrust::isRefusal(const DownloadFailure &failure)
{
    return failure.code == DownloadFailure::untrusted ||
           failure.code == DownloadFailure::catalogueRollback ||
           failure.code == DownloadFailure::catalogueWrongBranch ||
           failure.code == DownloadFailure::catalogueExpired ||
           failure.code == DownloadFailure::catalogueUnbound;
}

QString ReleaseTrust::refusalText(const DownloadFailure &failure)
{
    QString text = refusalClause(failure);
    text[0] = text.at(0).toUpper();
    return text;
}

QString ReleaseTrust::refusalClause(const DownloadFailure &failure)
{
    return QStringLiteral("the release catalogue is not trusted: ") + failure.detail;
}
