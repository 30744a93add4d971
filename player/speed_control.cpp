#include "speed_control.h"

#include <QAction>
#include <QActionGroup>
#include <QMenu>
#include <QToolButton>
#include <algorithm>
#include <cmath>

namespace kovel::player {
namespace {

// Rates the graph reports come back through doubles: compare with a margin.
bool SameSpeed(double a, double b) {
    return std::fabs(a - b) < 1e-6;
}

}  // namespace

double SpeedOfCommand(int command) {
    const int i = command - kFirstSpeedCommand;
    return i >= 0 && i < SpeedCommandCount() ? kSpeeds[i] : 0.0;
}

QString SpeedText(double rate) {
    return QString::number(rate, 'g', 4) + QChar(0x00D7);
}

double NextSpeed(double rate, bool faster) {
    if (faster) {
        for (double s : kSpeeds)
            if (s > rate && !SameSpeed(s, rate))
                return s;
    } else {
        for (auto it = std::rbegin(kSpeeds); it != std::rend(kSpeeds); ++it)
            if (*it < rate && !SameSpeed(*it, rate))
                return *it;
    }
    return rate;
}

void AddSpeedChoices(QMenu* menu, double current) {
    auto* group = new QActionGroup(menu);
    for (int i = 0; i < SpeedCommandCount(); ++i) {
        QAction* action = menu->addAction(SpeedText(kSpeeds[i]));
        action->setData(kFirstSpeedCommand + i);
        action->setCheckable(true);
        action->setChecked(SameSpeed(kSpeeds[i], current));
        group->addAction(action);
    }
}

QToolButton* CreateSpeedButton(QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setObjectName(QStringLiteral("speed"));
    button->setAccessibleName(QString::fromUtf8("播放速度"));
    button->setToolTip(QString::fromUtf8("播放速度"));
    // Flat, on the window's own background: it stands on a frame's edge as
    // a group box's title does, and the edge must not run through its text.
    button->setAutoRaise(true);
    button->setAutoFillBackground(true);
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    // As wide as its widest text, so that it never changes size.
    int widest = 0;
    for (double s : kSpeeds) {
        ShowSpeed(button, s);
        widest = std::max(widest, button->sizeHint().width());
    }
    button->setFixedWidth(widest);
    ShowSpeed(button, kNormalSpeed);
    return button;
}

void ShowSpeed(QToolButton* button, double rate) {
    // The triangle says that a click drops the choices down.
    button->setText(SpeedText(rate) + QString::fromUtf8(" ▾"));
}

}  // namespace kovel::player
