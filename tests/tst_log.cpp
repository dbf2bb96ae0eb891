// Tests of the log file: line format, where the file lands, and whole lines under concurrent writers.

#include "core/Log.h"
#include "support/TestFiles.h"
#include "support/TestMain.h"

#include <QtTest>

class LogTest : public QObject {
    Q_OBJECT

private slots:
    // A folder of its own per test; Windows cannot remove the working folder, so leave it at the end.
    void init() { QVERIFY(setFolder(dir.filePath(QTest::currentTestFunction()))); }
    void cleanupTestCase() { QDir::setCurrent(QDir::tempPath()); }

    void linesAreStampedAndAppendedUnchanged() {
        const QTime before = QTime::currentTime();
        Write_Log("Error ssh conect - Connection refused");
        Write_Log("a\nb");
        Write_Log(QStringLiteral("Ошибка\tсоединения\r"));
        Write_Log(QStringLiteral("before") + QChar(0) + QStringLiteral("after"));
        QString text = QString::fromUtf8(readTestFile("LogFile.log"));
        const QTime logged = QTime::fromString(text.mid(1, 8), Qt::TextDate), now = QTime::currentTime();
        QVERIFY2(qAbs(logged.secsTo(now)) < 5 || now < before, qPrintable(text)); // midnight may pass between
        text.replace(QRegularExpression("^\\[([01]\\d|2[0-3]):[0-5]\\d:[0-5]\\d\\] - ",
                                        QRegularExpression::MultilineOption),
                     "[T] ");
        // A NUL ends the line, its line feed included.
        QCOMPARE(text, QStringLiteral("[T] Error ssh conect - Connection refused\n[T] a\nb\n"
                                      "[T] Ошибка\tсоединения\r\n[T] before"));
        // The file lies in the working folder of the moment.
        QVERIFY(setFolder(dir.filePath("other")));
        Write_Log("here");
        QCOMPARE(logFileLines().size(), 1);
    }

    void concurrentWritersLeaveWholeLines() {
        // Long lines make a torn write likely if the calls were not kept apart.
        QVERIFY(runInThreads(8, [](int) {
            for (int i = 0; i < 400; ++i)
                Write_Log("Error read sftp file - " + QString(300, '.'));
        }));
        const QStringList lines = logFileLines();
        QCOMPARE(lines.size(), 8 * 400);
        const QRegularExpression whole("^\\[\\d\\d:\\d\\d:\\d\\d\\] - Error read sftp file - \\.{300}$");
        for (const QString &line : lines)
            QVERIFY2(whole.match(line).hasMatch(), qPrintable(line));
    }

private:
    static bool setFolder(const QString &folder) { return QDir().mkpath(folder) && QDir::setCurrent(folder); }
    QTemporaryDir dir;
};

QUILLON_GUILESS_TEST_MAIN(LogTest)
#include "tst_log.moc"
