// Tests of the log file: line format, where the file lands, and whole lines under concurrent writers.

#include "support/TestMain.h"
#include "core/Log.h"

#include <QtTest>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

namespace {

QByteArray readLog(const QString &folder) {
    QFile file(folder + QStringLiteral("/LogFile.log"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QRegularExpression stamp(QStringLiteral("^\\[([01]\\d|2[0-3]):[0-5]\\d:[0-5]\\d\\] - "));

} // namespace

class LogTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void firstCallCreatesFileWithOneStampedLine();
    void messageIsWrittenUnchangedAsUtf8();
    void nulEndsTheLine();
    void fileLandsInTheCurrentWorkingFolder();
    void missingFolderLosesTheLineQuietly();
    void concurrentWritersLeaveWholeLines();

private:
    QString previousFolder;
    QTemporaryDir *dir = nullptr;
};

void LogTest::init() {
    previousFolder = QDir::currentPath();
    dir = new QTemporaryDir;
    QVERIFY(QDir::setCurrent(dir->path()));
}

void LogTest::cleanup() {
    QDir::setCurrent(previousFolder);
    delete dir;
    dir = nullptr;
}

void LogTest::firstCallCreatesFileWithOneStampedLine() {
    QVERIFY(!QFile::exists(dir->filePath("LogFile.log")));
    const QTime before = QTime::currentTime();
    Write_Log("Error ssh conect - Connection refused");
    const QTime after = QTime::currentTime();
    const QString text = QString::fromUtf8(readLog(dir->path()));
    const QRegularExpressionMatch match = stamp.match(text);
    QVERIFY2(match.hasMatch(), qPrintable(text));
    QCOMPARE(text.mid(match.capturedLength()), QStringLiteral("Error ssh conect - Connection refused\n"));
    const QTime logged = QTime::fromString(text.mid(1, 8), Qt::TextDate);
    QVERIFY(logged.isValid());
    // Allow for midnight between the two readings.
    if (before <= after)
        QVERIFY(logged >= QTime(before.hour(), before.minute(), before.second()) && logged <= after);

    // A second call appends.
    Write_Log("Failed to create a directory - C:/Brightfen/LoRa/Meter");
    const QList<QByteArray> lines = readLog(dir->path()).split('\n');
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines.at(1).endsWith("] - Failed to create a directory - C:/Brightfen/LoRa/Meter"));
    QVERIFY(lines.at(2).isEmpty());
}

void LogTest::messageIsWrittenUnchangedAsUtf8() {
    Write_Log(QStringLiteral("a\nb"));
    Write_Log(QStringLiteral("Ошибка\tсоединения\r"));
    const QString text = QString::fromUtf8(readLog(dir->path()));
    const QStringList lines = text.split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 4);
    QVERIFY(stamp.match(lines.at(0)).hasMatch());
    QVERIFY(lines.at(0).endsWith(QLatin1String("] - a")));
    // The second physical line carries no time stamp.
    QCOMPARE(lines.at(1), QStringLiteral("b"));
    QVERIFY(lines.at(2).endsWith(QStringLiteral("] - Ошибка\tсоединения\r")));
    QVERIFY(!text.contains(QLatin1String("\r\n\r")));
}

void LogTest::nulEndsTheLine() {
    Write_Log(QStringLiteral("before") + QChar(0) + QStringLiteral("after"));
    const QByteArray content = readLog(dir->path());
    QVERIFY(content.endsWith("] - before"));
    QVERIFY(!content.contains("after"));
    QVERIFY(!content.contains('\0'));
}

void LogTest::fileLandsInTheCurrentWorkingFolder() {
    QTemporaryDir other;
    QVERIFY(QDir::setCurrent(other.path()));
    Write_Log("here");
    QVERIFY(readLog(other.path()).endsWith("] - here\n"));
    QVERIFY(!QFile::exists(dir->filePath("LogFile.log")));
}

void LogTest::missingFolderLosesTheLineQuietly() {
#ifdef Q_OS_WIN
    QSKIP("Windows cannot remove a process's current folder");
#endif
    const QString gone = dir->filePath("gone");
    QVERIFY(QDir().mkpath(gone));
    QVERIFY(QDir::setCurrent(gone));
    QVERIFY(QDir(gone).removeRecursively());
    Write_Log("lost");
    QVERIFY(!QFile::exists(gone + "/LogFile.log"));
    QVERIFY(!QDir(gone).exists());
}

void LogTest::concurrentWritersLeaveWholeLines() {
    constexpr int threadCount = 8;
    constexpr int linesPerThread = 400;
    // Long lines make a torn write likely if the calls were not kept apart.
    const QString filler(300, QLatin1Char('.'));
    QList<QThread *> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads << QThread::create([t, &filler]() {
            for (int i = 0; i < linesPerThread; ++i)
                Write_Log(QStringLiteral("Error read sftp file - thread %1 line %2 %3end")
                              .arg(t)
                              .arg(i)
                              .arg(filler));
        });
    }
    for (QThread *thread : threads)
        thread->start();
    for (QThread *thread : threads) {
        QVERIFY(thread->wait(60000));
        delete thread;
    }

    const QList<QByteArray> lines = readLog(dir->path()).split('\n');
    QCOMPARE(lines.size(), threadCount * linesPerThread + 1);
    QVERIFY(lines.last().isEmpty());
    const QRegularExpression whole(
        QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\] - Error read sftp file - thread (\\d) "
                       "line (\\d+) \\.{300}end$"));
    QVector<int> nextLine(threadCount, 0);
    for (int i = 0; i + 1 < lines.size(); ++i) {
        const QRegularExpressionMatch match = whole.match(QString::fromUtf8(lines.at(i)));
        QVERIFY2(match.hasMatch(), lines.at(i).constData());
        const int thread = match.captured(1).toInt();
        // Each writer's own lines stay in its order.
        QCOMPARE(match.captured(2).toInt(), nextLine[thread]);
        ++nextLine[thread];
    }
    for (int count : nextLine)
        QCOMPARE(count, linesPerThread);
}

QUILLON_GUILESS_TEST_MAIN(LogTest)
#include "tst_log.moc"
