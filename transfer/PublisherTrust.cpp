#include "transfer/PublisherTrust.h"

#include "core/CEncryptedSettings.h"
#include "core/Log.h"
#include "transfer/SshSignature.h"
#include "transfer/sftp/SftpSession.h"

#include <fcntl.h>

const QString PublisherTrust::keySetting = QStringLiteral("SFTP/PublisherKey");
const QString PublisherTrust::serialSetting = QStringLiteral("SFTP/PublisherSerial");
const QString PublisherTrust::refusalLogPrefix =
    QStringLiteral("The server's files are not signed by the publisher - ");

namespace {

enum class Fetch { Done, Missing, TooLarge, Failed };

// Reads a whole small file from the download root, refusing anything past maxSize unread.
Fetch fetchSmallFile(const SftpSession &session, const QByteArray &name, qint64 maxSize, QByteArray *out) {
    const QByteArray path = QByteArray(remoteRoot) + '/' + name;
    sftp_file file;
    {
        PendingRequest pending(session);
        file = sftp_open(session.sftp, path.constData(), O_RDONLY, 0);
    }
    if (!file)
        return sftp_get_error(session.sftp) == SSH_FX_NO_SUCH_FILE ? Fetch::Missing : Fetch::Failed;
    Fetch result = Fetch::Done;
    QByteArray buffer(131070, Qt::Uninitialized);
    out->clear();
    for (;;) {
        ssize_t count;
        {
            PendingRequest pending(session);
            count = sftp_read(file, buffer.data(), size_t(buffer.size()));
        }
        if (count < 0) {
            result = Fetch::Failed;
            break;
        }
        if (count == 0)
            break;
        if (out->size() + count > maxSize) {
            result = Fetch::TooLarge;
            break;
        }
        out->append(buffer.constData(), count);
    }
    PendingRequest pending(session);
    sftp_close(file);
    return result;
}

CEncryptedSettings *settings() {
    return CEncryptedSettings::getInstance(QString(), 0);
}

} // namespace

QString PublisherTrust::refusedText(bool russian) {
    return russian
               ? QStringLiteral("Файлы на сервере не подписаны издателем. Ничего не установлено и не "
                                "изменено.")
               : QStringLiteral("The server's files are not signed by the publisher. Nothing was installed "
                                "or changed.");
}

PublisherTrust::Outcome PublisherTrust::refuse(const QString &why) {
    reason = why;
    accepted.reset();
    return Refused;
}

PublisherTrust::Outcome PublisherTrust::establish(const SftpSession &session) {
    accepted.reset();
    reason.clear();
    const QString keys = settings()->value(keySetting).toString();
    if (keys.trimmed().isEmpty())
        return NotRequired;

    QByteArray manifestBytes, signatureBytes;
    const Fetch manifestFetch =
        fetchSmallFile(session, PublisherManifest::fileName, PublisherManifest::maxSize, &manifestBytes);
    const Fetch signatureFetch = manifestFetch == Fetch::Failed
                                     ? Fetch::Failed
                                     : fetchSmallFile(session, PublisherManifest::signatureFileName,
                                                      SshSignature::maxArmoredSize, &signatureBytes);
    Outcome outcome;
    if (manifestFetch == Fetch::Failed || signatureFetch == Fetch::Failed) {
        // A server that went away is a connection failure; one that refuses the read is a refusal.
        if (sessionTimedOut(session) || !ssh_is_connected(session.ssh))
            return Lost;
        outcome = refuse("the manifest or its signature cannot be read");
    } else if (manifestFetch == Fetch::Missing) {
        outcome = refuse("the server has no manifest");
    } else if (signatureFetch == Fetch::Missing) {
        outcome = refuse("the manifest is not signed");
    } else if (manifestFetch == Fetch::TooLarge || signatureFetch == Fetch::TooLarge) {
        outcome = refuse("the manifest or its signature is too large");
    } else {
        outcome = verify(keys, manifestBytes, signatureBytes,
                         settings()->value(serialSetting).toString().toULongLong());
    }
    if (outcome == Refused) {
        Write_Log(refusalLogPrefix + reason);
        return Refused;
    }
    if (accepted->serial() > settings()->value(serialSetting).toString().toULongLong())
        settings()->setValue(serialSetting, QString::number(accepted->serial()));
    return Accepted;
}

PublisherTrust::Outcome PublisherTrust::verify(const QString &keySettingText, const QByteArray &manifestBytes,
                                               const QByteArray &signatureBytes, quint64 highestSerial) {
    accepted.reset();
    QString why;
    const QList<QByteArray> keys = SshSignature::readPublicKeys(keySettingText, &why);
    if (keys.isEmpty())
        return refuse(why);
    SshSignature signature;
    if (!signature.read(signatureBytes) ||
        !signature.verify(manifestBytes, PublisherManifest::signatureNamespace, keys))
        return refuse(signature.error());
    auto manifest = std::make_shared<PublisherManifest>();
    if (!manifest->parse(manifestBytes))
        return refuse(manifest->error());
    if (manifest->serial() < highestSerial)
        return refuse(QString("the manifest is older than one already accepted (serial %1 < %2)")
                          .arg(manifest->serial())
                          .arg(highestSerial));
    accepted = std::move(manifest);
    reason.clear();
    return Accepted;
}
