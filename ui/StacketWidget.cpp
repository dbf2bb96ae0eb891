#include "ui/StacketWidget.h"

#include <QCloseEvent>
#include <QIcon>

StacketWidget::StacketWidget(QWidget *parent) : QStackedWidget(parent) {
    setWindowIcon(QIcon(":/Upload.ico"));
    setWindowTitle("Quillon");
    setFixedSize(615, 467);
}

void StacketWidget::closeEvent(QCloseEvent *event) {
    event->ignore();
    hide();
    emit Delete_Install_Window();
}

InstallWizard buildInstallWizard(InstallContext *context) {
    InstallWizard wizard;
    wizard.container = new StacketWidget(nullptr);
    // The software page finds the folder page through the context, so it comes last.
    wizard.progressPage = new ProgressBarWindow(context);
    wizard.pathPage = new SelectPathSoftInstall(context);
    wizard.softPage = new SelectSoftList(context);

    wizard.container->addWidget(wizard.softPage);
    wizard.container->addWidget(wizard.pathPage);
    wizard.container->addWidget(wizard.progressPage);

    // The current index never changes: pages hand over by hiding themselves and showing the next.
    QObject::connect(wizard.softPage, &SelectSoftList::Close_Software_Window_For_Next, wizard.pathPage,
                     &QWidget::show);
    QObject::connect(wizard.pathPage, &SelectPathSoftInstall::Close_Path_Select_Window_For_Next,
                     wizard.progressPage, &ProgressBarWindow::Show);
    QObject::connect(wizard.pathPage, &SelectPathSoftInstall::Close_Path_Select_Window, wizard.softPage,
                     &QWidget::show);
    return wizard;
}

void destroyInstallWizard(const InstallWizard &wizard) {
    if (wizard.progressPage)
        wizard.progressPage->deleteLater();
    if (wizard.pathPage)
        wizard.pathPage->deleteLater();
    if (wizard.softPage)
        wizard.softPage->deleteLater();
    if (wizard.container)
        wizard.container->deleteLater();
}
