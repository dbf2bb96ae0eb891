#include "ui/WelcomeWindow.h"

#include "core/Language.h"
#include "ui/TitleFrame.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QStringList>

namespace {
const char *const EnglishText[] = {
    "Welcome to the Quillon",
    " software manager.",
    "",
    "This program is intended for downloading,",
    "installing and updating software",
    "developed by Brightfen Ltd. Please",
    "note that the software used to work in",
    "LoRa network is a starter program and is",
    "designed for a small number of devices.",
    "",
    "Click \"Start installation\" to start",
    "installation of the required software",
    "or click \"Install later\" to install",
    "at any convenient time. To learn all",
    "the features of Quillon please",
    "read the user manual on the download page",
    "of this program.",
};

const char *const RussianText[] = {
    "Вас приветствует менеджер программного",
    "обеспечения \"Quillon\".",
    "",
    "Данная программа предназначена",
    "для загрузки, установки и обновления",
    "программного обеспечения(ПО) разраба-",
    "тываемого компанией ООО Brightfen",
    "",
    "Просим обратить внимание на то,",
    "что ПО используемое для работы в",
    "сети LoRa является стартовым и расчитано",
    "на небольшое количество устройств.",
    "",
    "Нажмите \"Начать установку\" для запуска",
    "установки необходимого ПО или нажмите",
    "\"Установить позже\" для установки в любое",
    "удобное время. Чтобы узнать все возмож-",
    "ности Quillon ознакомьтесь с",
    "руководством пользователя на странице",
    "загрузки данной программы.",
};

template <size_t N> QString joinLines(const char *const (&lines)[N]) {
    QStringList text;
    for (const char *line : lines)
        text << QString::fromUtf8(line);
    return text.join(QLatin1Char('\n'));
}
// The label's box is fixed; system fonts wider than the one the text was set for would clip its longest
// lines, so the font steps down until every line fits.
void fitTextToLabel(QLabel *label) {
    QFont font = label->font();
    const QStringList lines = label->text().split(QLatin1Char('\n'));
    auto widest = [&lines](const QFont &candidate) {
        const QFontMetrics metrics(candidate);
        int width = 0;
        for (const QString &line : lines)
            width = qMax(width, metrics.horizontalAdvance(line));
        return width;
    };
    while (widest(font) > label->width() && font.pointSizeF() > 6.0)
        font.setPointSizeF(font.pointSizeF() - 0.5);
    label->setFont(font);
}
} // namespace

WelcomeWindow::WelcomeWindow(SelfDestroy selfDestroy) : QWidget(nullptr), selfDestroy(selfDestroy) {
    setUpTitleFrame(this);
    setWindowIcon(QIcon(QStringLiteral(":/Icon.ico")));

    textLabel = new QLabel(this);
    textLabel->setObjectName(QStringLiteral("welcomeText"));
    textLabel->setGeometry(320, 95, 271, 301);
    textLabel->setAlignment(Qt::AlignTop);
    laterButton = new QPushButton(this);
    laterButton->setObjectName(QStringLiteral("laterButton"));
    laterButton->setGeometry(340, 420, 121, 24);
    startButton = new QPushButton(this);
    startButton->setObjectName(QStringLiteral("startButton"));
    startButton->setGeometry(470, 420, 121, 24);

    connect(startButton, &QPushButton::clicked, this, &WelcomeWindow::Push_Ok_Button);
    connect(laterButton, &QPushButton::pressed, this, &WelcomeWindow::Push_Cancel_Button);

    if (System_Language() == QLatin1String("ru")) {
        textLabel->setText(joinLines(RussianText));
        laterButton->setText(QStringLiteral("Установить позже"));
        startButton->setText(QStringLiteral("Начать установку"));
    } else {
        textLabel->setText(joinLines(EnglishText));
        laterButton->setText(QStringLiteral("Install later"));
        startButton->setText(QStringLiteral("Run install"));
    }
    fitTextToLabel(textLabel);
}

// Each way out ends the window once, whatever arrives while the deferred deletion is pending.
void WelcomeWindow::leave() {
    hide();
    if (left)
        return;
    left = true;
    if (selfDestroy)
        selfDestroy(this);
}

void WelcomeWindow::Push_Ok_Button() {
    if (left)
        return;
    emit Start_Download_Soft();
    leave();
}

void WelcomeWindow::Push_Cancel_Button() {
    leave();
}

void WelcomeWindow::closeEvent(QCloseEvent *event) {
    event->ignore();
    leave();
}
