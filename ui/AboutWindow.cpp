#include "ui/AboutWindow.h"

#include "core/Language.h"
#include "ui/TitleFrame.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPushButton>
#include <QStringList>

namespace {
// Build settings, so that the demo can build a newer-looking program from the same sources.
const char *const Version = QUILLON_VERSION_TEXT_RU;
const char *const EnglishVersion = QUILLON_VERSION_TEXT_EN;

QString link(const QString &address, const QString &shown) {
    return QStringLiteral("<a href=\"%1\">%2</a>").arg(address, shown);
}

QString aboutText(bool russian) {
    const QString mail = link(QStringLiteral("mailto:support@brightfen.example"),
                              QStringLiteral("support@brightfen.example")) +
                         QLatin1Char('.');
    const QString iot =
        link(QStringLiteral("https://iot.brightfen.example"), QStringLiteral("iot.brightfen.example"));
    const QString transport =
        link(QStringLiteral("https://fleet.brightfen.example"), QStringLiteral("fleet.brightfen.example"));
    const QString main =
        link(QStringLiteral("https://www.brightfen.example"), QStringLiteral("www.brightfen.example"));
    QStringList rows;
    if (russian) {
        rows << QString()
             << QStringLiteral("Версия программного обеспечения %1")
                    .arg(QLatin1String(Version), 0, QLatin1Char(' '))
             << QString() << QStringLiteral("Вопросы по технической поддержке")
             << QStringLiteral("вы можете задать на почту:") << mail << QString()
             << QStringLiteral("Сайт продукции IoT") << iot
             << QStringLiteral("Сайт продукции мониторинга транспорта") << transport
             << QStringLiteral("Основоной сайт") << main;
    } else {
        rows << QString() << QStringLiteral("Software version ") + QLatin1String(EnglishVersion) << QString()
             << QStringLiteral("Questions on technical support") << QStringLiteral("can be sent to the mail:")
             << mail << QString() << QStringLiteral("IoT product website") << iot
             << QStringLiteral("Transport monitoring product website") << transport
             << QStringLiteral("Main website") << main;
    }
    return rows.join(QStringLiteral("<br>"));
}
} // namespace

AboutWindow::AboutWindow(QWidget *parent) : QWidget(parent) {
    setUpTitleFrame(this);

    textLabel = new QLabel(this);
    textLabel->setObjectName(QStringLiteral("aboutText"));
    textLabel->setGeometry(330, 95, 301, 311);
    textLabel->setAlignment(Qt::AlignTop);
    textLabel->setTextFormat(Qt::AutoText);
    textLabel->setOpenExternalLinks(true);
    textLabel->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse |
                                       Qt::LinksAccessibleByKeyboard);
    closeButton = new QPushButton(this);
    closeButton->setObjectName(QStringLiteral("closeButton"));
    closeButton->setGeometry(510, 430, 80, 24);

    connect(closeButton, &QPushButton::pressed, this, &AboutWindow::Push_Cancel_Button);

    const bool russian = System_Language() == QLatin1String("ru");
    textLabel->setText(aboutText(russian));
    closeButton->setText(russian ? QStringLiteral("Закрыть") : QStringLiteral("Close"));
    if (objectName().isEmpty())
        setObjectName(russian ? QStringLiteral("О программе") : QStringLiteral("About"));
}

void AboutWindow::Push_Cancel_Button() {
    hide();
    emit Close_About();
}

void AboutWindow::closeEvent(QCloseEvent *event) {
    event->ignore();
    hide();
    emit Close_About();
}
