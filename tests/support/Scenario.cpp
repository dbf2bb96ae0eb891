#include "support/Scenario.h"

#include "core/CEncryptedSettings.h"
#include "support/TestSettings.h"
#include "support/TestSftpServer.h"
#include "transfer/InstallContext.h"

#include <QCoreApplication>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

std::unique_ptr<AsyncsshServer> serveFiles(const QTemporaryDir &tree, const QMap<QString, QByteArray> &files,
                                           const QStringList &switches) {
    const bool written = writeTestFiles(tree.path() + componentsRoot, files);
    auto server = std::make_unique<AsyncsshServer>(tree.path(), switches);
    if (!written || !server->isRunning()) {
        qWarning("the test server did not start: %s", qPrintable(server->errorText()));
        return nullptr;
    }
    pointSettingsAt(*server);
    return server;
}

std::unique_ptr<TestSftpServer> serveEndToEnd(const QString &treeRoot, const QStringList &asyncsshSwitches) {
    std::unique_ptr<TestSftpServer> server;
    if (OpensshServer::unavailableReason().isEmpty())
        server = std::make_unique<OpensshServer>(treeRoot);
    else
        server = std::make_unique<AsyncsshServer>(treeRoot, asyncsshSwitches);
    if (server->isRunning())
        return server;
    qWarning("the test server did not start: %s", qPrintable(server->errorText()));
    return nullptr;
}

bool installComponent(const QString &component, const QString &folder,
                      const QMap<QString, QByteArray> &files) {
    const bool written = writeTestFiles(folder, files);
    settingsStore()->setValue("Path/" + component, folder);
    return written;
}

std::unique_ptr<InstallContext> newInstallContext(const QString &base) {
    auto context = std::make_unique<InstallContext>();
    for (const char *group : {"LoRa", "NB-IoT", "CarMonitoring", "Drivers"})
        context->groupFolders[group] = base + "/" + QString(group);
    return context;
}

WizardHarness::WizardHarness(InstallContext *context)
    : parts(buildInstallWizard(context)),
      tree(parts.softPage->findChild<QTreeWidget *>()), pages{parts.progressPage, parts.pathPage,
                                                              parts.softPage, parts.container} {
    connectInstallWizardTeardown(parts, this, &WizardHarness::tearDown);
}

WizardHarness::~WizardHarness() {
    destroy();
}

void WizardHarness::destroy() {
    destroyInstallWizard({qobject_cast<StacketWidget *>(pages[3].data()),
                          qobject_cast<ProgressBarWindow *>(pages[0].data()),
                          qobject_cast<SelectPathSoftInstall *>(pages[1].data()),
                          qobject_cast<SelectSoftList *>(pages[2].data())});
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void WizardHarness::tearDown() {
    ++teardowns;
    if (beforeTeardown)
        beforeTeardown();
    if (teardowns == 1 && tearsDown)
        destroyInstallWizard(parts);
}

QTreeWidgetItem *WizardHarness::row(const QString &key) const {
    for (int group = 0; group < tree->topLevelItemCount(); ++group)
        for (int i = 0; i < tree->topLevelItem(group)->childCount(); ++i)
            if (tree->topLevelItem(group)->child(i)->data(0, Qt::UserRole + 1) == key)
                return tree->topLevelItem(group)->child(i);
    return nullptr;
}

void WizardHarness::tick(QTreeWidgetItem *row) {
    if (row->parent())
        row->parent()->setExpanded(true);
    tree->scrollToItem(row);
    const QPoint at(tree->visualItemRect(row).left() + 80, tree->visualItemRect(row).center().y());
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, at);
}

void WizardHarness::click(QWidget *page, int button) {
    QTest::mouseClick(page->findChildren<QPushButton *>().at(button), Qt::LeftButton);
}

QString WizardHarness::ticks(int group) const {
    QString marks;
    const QTreeWidgetItem *parent = tree->topLevelItem(group);
    for (int i = 0; i < parent->childCount(); ++i)
        marks += parent->child(i)->checkState(0) ? "x" : "-";
    return marks;
}
