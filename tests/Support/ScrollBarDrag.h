#pragma once

#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>

namespace nbd::test {

// The centre of a scroll bar's slider, where a person grabs it.
inline QPoint sliderCentre(QScrollBar *bar)
{
    QStyleOptionSlider option;
    option.initFrom(bar);
    option.orientation = bar->orientation();
    option.minimum = bar->minimum();
    option.maximum = bar->maximum();
    option.sliderPosition = bar->sliderPosition();
    option.sliderValue = bar->value();
    option.singleStep = bar->singleStep();
    option.pageStep = bar->pageStep();
    return bar->style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, bar).center();
}

// Drags the slider with the mouse to the far end of the bar (or its start).
inline void dragSliderToEnd(QScrollBar *bar, bool end = true)
{
    const QPoint from = sliderCentre(bar);
    const QPoint to = bar->orientation() == Qt::Vertical ? QPoint(from.x(), end ? bar->height() + 100 : -100)
                                                         : QPoint(end ? bar->width() + 100 : -100, from.y());
    QTest::mousePress(bar, Qt::LeftButton, {}, from);
    QTest::mouseMove(bar, to);
    QTest::mouseRelease(bar, Qt::LeftButton, {}, to);
}

} // namespace nbd::test
