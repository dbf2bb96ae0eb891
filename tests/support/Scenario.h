#pragma once
// The scenario the tests share: a served tree with fault switches and the settings pointing at it, an
// installed component, the remote root and the names a hostile server lists, and the install wizard as the
// tray controller drives it. DownloaderRun.h adds the run and the events it recorded.

#include "ui/StacketWidget.h"

#include <QByteArrayList>
#include <QMap>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class AsyncsshServer;
class TestSftpServer;
class QTemporaryDir;
class QTreeWidget;
class QTreeWidgetItem;
struct InstallContext;

// The server folder that holds the components, as clients name it.
inline const QString componentsRoot = QStringLiteral("/upload/Softwares/For Download/");

// Names a server may list that must never become part of a local path: each passes the rule that skips
// names with a dot first or second, and is refused by the name check itself.
inline const QByteArrayList hostileServerNames{
    "x/../../evil.exe", "sub/../../x", "sub\\..\\x", "evil:stream", "C:x",      "CON",
    "nul.txt",          "com1.log",    "ab.",        "ab ",         "bell\x07", "tab\there"};

// Writes the files ("<component>/<path>" and their bytes) below componentsRoot in the tree, starts a server
// over it with these fault switches and points the settings at it; null when that failed (with a warning).
std::unique_ptr<AsyncsshServer> serveFiles(const QTemporaryDir &tree, const QMap<QString, QByteArray> &files,
                                           const QStringList &switches = {});
// OpenSSH, the maker's server, where this machine can run it (as root); otherwise the asyncssh server with
// these switches standing in for what OpenSSH would refuse by itself. Null (with a warning) when none
// started.
std::unique_ptr<TestSftpServer> serveEndToEnd(const QString &treeRoot,
                                              const QStringList &asyncsshSwitches = {});
// Writes the files (paths relative to the folder) and records the folder as the component's ("Path/<name>").
bool installComponent(const QString &component, const QString &folder,
                      const QMap<QString, QByteArray> &files);
// A context whose groups install below folders of this base folder, with nothing selected.
std::unique_ptr<InstallContext> newInstallContext(const QString &base);

// The install wizard over a context. Its teardown requests are counted and, like the tray controller,
// the first one tears it down (after `beforeTeardown`) unless `tearsDown` is off. The destructor tears down
// what is left and runs the deferred deletions.
class WizardHarness : public QObject {
public:
    explicit WizardHarness(InstallContext *context);
    ~WizardHarness() override;
    void destroy();
    // The component tree's row of this component key (the name its install is recorded under); null: none.
    QTreeWidgetItem *row(const QString &key) const;
    // Brings the row into view and double-clicks its name, as the mouse does (a click comes first).
    void tick(QTreeWidgetItem *row);
    // Clicks a page's push button by its place: software page Next 0, Cancel 1; folder page "..." 0 to 2,
    // Install 3, Back 4.
    void click(QWidget *page, int button);
    // Ticks of a group's rows, "x" or "-" each.
    QString ticks(int group) const;

    InstallWizard parts;
    QTreeWidget *tree = nullptr;
    int teardowns = 0;
    bool tearsDown = true;
    std::function<void()> beforeTeardown;

private:
    void tearDown();
    QList<QPointer<QWidget>> pages;
};
