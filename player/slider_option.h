#pragma once

#include <QSlider>
#include <QStyleOptionSlider>

namespace kovel::player {

// The style option a slider paints itself with, for asking the style where
// its groove and thumb are (the preview's anchor, a pointer aimed at a value).
inline QStyleOptionSlider SliderOption(const QSlider* slider) {
    QStyleOptionSlider opt;
    opt.initFrom(slider);
    opt.orientation = slider->orientation();
    opt.minimum = slider->minimum();
    opt.maximum = slider->maximum();
    opt.sliderPosition = slider->sliderPosition();
    opt.sliderValue = slider->value();
    opt.singleStep = slider->singleStep();
    opt.pageStep = slider->pageStep();
    opt.upsideDown = slider->invertedAppearance() != (slider->layoutDirection() == Qt::RightToLeft);
    opt.subControls = QStyle::SC_All;
    return opt;
}

}  // namespace kovel::player
