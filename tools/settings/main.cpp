// quillon-settings: reads and writes the program's encrypted settings files for support staff and scripts.

#include "core/CEncryptedSettings.h"
#include "core/CSettingsCipher.h"
#include "core/ProgramKey.h"
#include "platform/Platform.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextStream>

namespace {

const QString hostKeyName = QStringLiteral("SFTP/HostKey");

QTextStream &err() {
    static QTextStream stream(stderr);
    return stream;
}

int fail(const QString &message) {
    err() << "quillon-settings: " << message << Qt::endl;
    return 1;
}

bool parseKey(const QString &text, quint64 *key) {
    bool ok = false;
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        *key = text.mid(2).toULongLong(&ok, 16);
    else
        *key = text.toULongLong(&ok, 10);
    return ok;
}

CSettingsCipher settingsCipher(quint64 key) {
    CSettingsCipher cipher;
    cipher.setKey(key);
    cipher.setCompressionPolicy(CSettingsCipher::CompressAlways);
    cipher.setIntegrityCheck(CSettingsCipher::Sha1Integrity);
    return cipher;
}

bool readFile(const QString &path, QByteArray *content, QString *error) {
    QFile file(path);
    if (!file.exists()) {
        *error = QStringLiteral("%1: no such file").arg(path);
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: cannot read (%2)").arg(path, file.errorString());
        return false;
    }
    *content = file.readAll();
    return true;
}

// Decrypts a settings file; a wrong key or a damaged file is an error, never an empty settings text.
bool readSettingsText(const QString &path, quint64 key, QByteArray *plaintext, QString *error) {
    QByteArray cyphertext;
    if (!readFile(path, &cyphertext, error))
        return false;
    CSettingsCipher cipher = settingsCipher(key);
    *plaintext = cipher.decrypt(cyphertext);
    if (cyphertext.size() < 3 || cipher.lastError() != CSettingsCipher::CipherOk) {
        const QString reason = cipher.lastError() == CSettingsCipher::CipherBadVersion
                                   ? QStringLiteral("not a settings file")
                                   : QStringLiteral("wrong key or damaged file");
        *error = QStringLiteral("%1: cannot decrypt: %2").arg(path, reason);
        return false;
    }
    return true;
}

bool writeFileAtomically(const QString &path, const QByteArray &content, QString *error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("%1: cannot write (%2)").arg(path, file.errorString());
        return false;
    }
    file.write(content);
    if (!file.commit()) {
        *error = QStringLiteral("%1: cannot write (%2)").arg(path, file.errorString());
        return false;
    }
    return true;
}

// Opens the program's own store on a file that is known to decrypt, so every change is saved the
// program's way. Save failures reach us through the store's messages.
CEncryptedSettings *openStore(const QString &path, quint64 key, QStringList *messages) {
    CEncryptedSettings *store = CEncryptedSettings::getInstance(QFileInfo(path).absoluteFilePath(), key);
    if (store) {
        QObject::connect(store, &CEncryptedSettings::logMessage, store,
                         [messages](const QString &message) { messages->append(message); });
    }
    return store;
}

int dump(const QString &path, quint64 key) {
    QByteArray plaintext;
    QString error;
    if (!readSettingsText(path, key, &plaintext, &error))
        return fail(error);
    QFile out;
    if (!out.open(stdout, QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write to standard output"));
    out.write(plaintext);
    return 0;
}

// Finds a key ("Group/Name", or "Name" outside any group) in a settings text, read by the store's rules.
// Reads the text itself rather than through the store, so read-only files can be inspected too.
bool findValue(const QByteArray &plaintext, const QString &name, QString *value) {
    QString group;
    bool found = false;
    const QList<QByteArray> lines = plaintext.split('\n');
    for (const QByteArray &bytes : lines) {
        QString line = QString::fromUtf8(bytes);
        if (line.startsWith(QLatin1Char('['))) {
            group = line.remove(QLatin1Char('[')).remove(QLatin1Char(']'));
            continue;
        }
        const QStringList parts = line.split(QLatin1Char('='));
        if (parts.size() != 2)
            continue;
        const QString key = group.isEmpty() ? parts.at(0) : group + QLatin1Char('/') + parts.at(0);
        if (key == name) {
            *value = parts.at(1);
            found = true; // a later line wins, as in the store
        }
    }
    return found;
}

int get(const QString &path, quint64 key, const QString &name) {
    QByteArray plaintext;
    QString error;
    if (!readSettingsText(path, key, &plaintext, &error))
        return fail(error);
    QString value;
    if (!findValue(plaintext, name, &value))
        return fail(QStringLiteral("%1: %2 is not set").arg(path, name));
    QTextStream(stdout) << value << Qt::endl;
    return 0;
}

int change(const QString &path, quint64 key, const QString &name, const QVariant *value) {
    QByteArray plaintext;
    QString error;
    if (!readSettingsText(path, key, &plaintext, &error))
        return fail(error);
    QStringList messages;
    CEncryptedSettings *store = openStore(path, key, &messages);
    if (!store)
        return fail(QStringLiteral("%1: cannot open").arg(path));
    if (value)
        store->setValue(name, *value);
    else
        store->remove(name);
    if (!messages.isEmpty())
        return fail(QStringLiteral("%1: %2").arg(path, messages.join(QStringLiteral("; "))));
    return 0;
}

int decryptFile(const QString &in, const QString &out, quint64 key) {
    QByteArray plaintext;
    QString error;
    if (!readSettingsText(in, key, &plaintext, &error) || !writeFileAtomically(out, plaintext, &error))
        return fail(error);
    return 0;
}

int encryptFile(const QString &in, const QString &out, quint64 key) {
    QByteArray plaintext;
    QString error;
    if (!readFile(in, &plaintext, &error))
        return fail(error);
    CSettingsCipher cipher = settingsCipher(key);
    const QByteArray cyphertext = cipher.encrypt(plaintext);
    if (cipher.lastError() != CSettingsCipher::CipherOk)
        return fail(QStringLiteral("%1: cannot encrypt").arg(in));
    if (!writeFileAtomically(out, cyphertext, &error))
        return fail(error);
    return 0;
}

int hostKey(const QString &action, const QString &path, quint64 key) {
    if (action == QLatin1String("clear"))
        return change(path, key, hostKeyName, nullptr);
    if (action != QLatin1String("show"))
        return fail(QStringLiteral("hostkey: unknown action \"%1\" (show or clear)").arg(action));
    QByteArray plaintext;
    QString error;
    if (!readSettingsText(path, key, &plaintext, &error))
        return fail(error);
    QString pinned;
    findValue(plaintext, hostKeyName, &pinned);
    QTextStream(stdout) << (pinned.isEmpty() ? QStringLiteral("no pinned host key") : pinned) << Qt::endl;
    return 0;
}

int run(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillon-settings"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Reads and writes Quillon's encrypted settings files.\n\n"
                       "Commands:\n"
                       "  dump FILE              print the plaintext of a settings file\n"
                       "  get FILE KEY           print one value (KEY as Group/Name)\n"
                       "  set FILE KEY VALUE     store one value\n"
                       "  decrypt IN OUT         write the plaintext of IN to OUT\n"
                       "  encrypt IN OUT         encrypt the plaintext IN into the settings file OUT\n"
                       "  hostkey show FILE      print the pinned server key\n"
                       "  hostkey clear FILE     forget the pinned server key"));
    parser.addHelpOption();
    const QCommandLineOption keyOption(
        QStringLiteral("key"), QStringLiteral("Use key K (decimal or 0x hex) instead of the program key."),
        QStringLiteral("K"));
    parser.addOption(keyOption);
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("The command and its arguments."));
    if (!parser.parse(QCoreApplication::arguments()))
        return fail(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        QTextStream(stdout) << parser.helpText();
        return 0;
    }

    quint64 key = programKey;
    if (parser.isSet(keyOption) && !parseKey(parser.value(keyOption), &key))
        return fail(
            QStringLiteral("--key: \"%1\" is not a decimal or 0x hex number").arg(parser.value(keyOption)));
    if (key == 0)
        return fail(QStringLiteral("--key: the key must not be 0"));

    const QStringList args = parser.positionalArguments();
    const QString command = args.value(0);
    const auto expect = [&args](int count) { return args.size() == count; };

    if (command == QLatin1String("dump") && expect(2))
        return dump(args.at(1), key);
    if (command == QLatin1String("get") && expect(3))
        return get(args.at(1), key, args.at(2));
    if (command == QLatin1String("set") && expect(4)) {
        if (args.at(3).contains(QLatin1Char('=')))
            err() << "quillon-settings: warning: the program drops a value containing \"=\" when it loads "
                     "the file"
                  << Qt::endl;
        const QVariant value(args.at(3));
        return change(args.at(1), key, args.at(2), &value);
    }
    if (command == QLatin1String("decrypt") && expect(3))
        return decryptFile(args.at(1), args.at(2), key);
    if (command == QLatin1String("encrypt") && expect(3))
        return encryptFile(args.at(1), args.at(2), key);
    if (command == QLatin1String("hostkey") && expect(3))
        return hostKey(args.at(1), args.at(2), key);

    err() << parser.helpText();
    return command.isEmpty()
               ? 1
               : fail(QStringLiteral("unknown command or wrong arguments: %1").arg(args.join(' ')));
}

} // namespace

// Ends through Platform::endProcess, never the C runtime's exit (which can hang on Windows), so
// the tool never calls exit() itself: QCommandLineParser::parse(), not process().
int main(int argc, char *argv[]) {
    Platform::endProcess(run(argc, argv));
}
