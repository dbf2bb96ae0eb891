#pragma once
// The install wizard: one top-level window holding the software, folder and progress pages.
//
// The tray controller builds the wizard with buildInstallWizard() (which creates the pages in the
// required order, stacks them and wires their hand-over), connects the teardown requests with
// connectInstallWizardTeardown() to its Install_Software_Finish, and shows wizard.container.
// Install_Software_Finish tears it down with destroyInstallWizard() (deferred deletion of the
// progress page, the folder page, the software page and the container, in this order; a run still
// going is stopped by the progress page). The InstallContext stays the controller's.

#include <QStackedWidget>

#include "ui/ProgressBarWindow.h"
#include "ui/SelectPathSoftInstall.h"
#include "ui/SelectSoftList.h"

class StacketWidget : public QStackedWidget {
    Q_OBJECT
public:
    explicit StacketWidget(QWidget *parent = nullptr);

signals:
    void Delete_Install_Window();

protected:
    void closeEvent(QCloseEvent *event) override;
};

struct InstallWizard {
    StacketWidget *container = nullptr;
    ProgressBarWindow *progressPage = nullptr;
    SelectPathSoftInstall *pathPage = nullptr;
    SelectSoftList *softPage = nullptr;
};

// Creates the container and the three pages for this context and wires the page hand-over.
// Nothing is shown yet.
InstallWizard buildInstallWizard(InstallContext *context);

// Connects Delete_Install_Window of the container and of each page to receiver's slot.
template <typename Receiver>
void connectInstallWizardTeardown(const InstallWizard &wizard, Receiver *receiver, void (Receiver::*slot)()) {
    QObject::connect(wizard.container, &StacketWidget::Delete_Install_Window, receiver, slot);
    QObject::connect(wizard.progressPage, &ProgressBarWindow::Delete_Install_Window, receiver, slot);
    QObject::connect(wizard.pathPage, &SelectPathSoftInstall::Delete_Install_Window, receiver, slot);
    QObject::connect(wizard.softPage, &SelectSoftList::Delete_Install_Window, receiver, slot);
}

// Deferred deletion of all four objects; asking twice is harmless.
void destroyInstallWizard(const InstallWizard &wizard);
