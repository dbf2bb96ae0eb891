// Build step: encrypts the plaintext default settings into a C++ source holding the cyphertext.

#include "core/CSettingsCipher.h"
#include "core/ProgramKey.h"
#include "platform/Platform.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextStream>

static int run(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    QTextStream err(stderr);
    if (arguments.size() != 3) {
        err << "usage: quillon-encrypt-defaults PLAINTEXT.ini OUTPUT.cpp\n";
        return 1;
    }

    QFile input(arguments.at(1));
    if (!input.open(QIODevice::ReadOnly)) {
        err << "cannot read " << arguments.at(1) << ": " << input.errorString() << "\n";
        return 1;
    }
    const QByteArray plaintext = input.readAll();

    // The same settings as the store writes them: always compressed, SHA-1 protected.
    CSettingsCipher cipher;
    cipher.setKey(programKey);
    cipher.setCompressionPolicy(CSettingsCipher::CompressAlways);
    cipher.setIntegrityCheck(CSettingsCipher::Sha1Integrity);
    const QByteArray cyphertext = cipher.encrypt(plaintext);
    if (cipher.lastError() != CSettingsCipher::CipherOk || cyphertext.isEmpty()) {
        err << "encryption failed\n";
        return 1;
    }

    QByteArray source;
    source += "// Generated from resources/default-settings.ini at build time; do not edit.\n";
    source += "#include \"core/DefaultSettings.h\"\n\n";
    source += "QByteArray defaultSettingsContent() {\n";
    source += "    static const unsigned char bytes[] = {";
    for (int i = 0; i < cyphertext.size(); ++i) {
        if (i % 12 == 0)
            source += "\n        ";
        source += "0x" + QByteArray::number(static_cast<quint8>(cyphertext.at(i)), 16).rightJustified(2, '0');
        source += i + 1 < cyphertext.size() ? ", " : "";
    }
    source += "\n    };\n";
    // The length travels with the bytes: a cyphertext may hold zero bytes.
    source += "    return QByteArray(reinterpret_cast<const char *>(bytes), " +
              QByteArray::number(cyphertext.size()) + ");\n";
    source += "}\n";

    QDir().mkpath(QFileInfo(arguments.at(2)).absolutePath());
    QSaveFile output(arguments.at(2));
    if (!output.open(QIODevice::WriteOnly)) {
        err << "cannot write " << arguments.at(2) << ": " << output.errorString() << "\n";
        return 1;
    }
    output.write(source);
    if (!output.commit()) {
        err << "cannot write " << arguments.at(2) << ": " << output.errorString() << "\n";
        return 1;
    }
    return 0;
}

// Runs under Wine in the Windows build: ends as every program does (Platform::endProcess).
int main(int argc, char *argv[]) {
    Platform::endProcess(run(argc, argv));
}
