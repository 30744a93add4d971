#pragma once

#include <QSlider>
#include <QStyleOptionSlider>

namespace kovel::player {

// The style option a slider paints itself with (Qt's own, direction and
// orientation included), for asking the style where its groove and thumb
// are: the preview's anchor, a pointer aimed at a value.
inline QStyleOptionSlider SliderOption(const QSlider* slider) {
    // initStyleOption is protected; a member pointer taken through a
    // derived class reaches it without copying its rules here.
    struct Access : QSlider {
        static auto Init() { return &Access::initStyleOption; }
    };
    QStyleOptionSlider opt;
    (slider->*Access::Init())(&opt);
    opt.subControls = QStyle::SC_All;
    return opt;
}

}  // namespace kovel::player
