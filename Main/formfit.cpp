#include "formfit.h"

#include <QGroupBox>
#include <QLayout>
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <QWidget>

namespace formfit {

QSize neededSize(const QWidget *holder, int extraWidth)
{
    QSize needed = holder->layout()->sizeHint();
    needed.rwidth() += extraWidth;
    return needed;
}

int belowTitle(const QGroupBox *box)
{
    QStyleOptionGroupBox option;
    option.initFrom(box);
    option.text = box->title();
    option.textAlignment = box->alignment();
    option.lineWidth = 1;
    option.midLineWidth = 0;
    option.subControls = QStyle::SC_GroupBoxFrame;
    if (!box->title().isEmpty())
        option.subControls |= QStyle::SC_GroupBoxLabel;
    if (box->isFlat())
        option.features |= QStyleOptionFrame::Flat;
    const QRect label = box->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, box);
    const int top = box->contentsRect().top();
    return label.isValid() ? qMax(label.bottom() + 1, top) : top;
}

QSize placeInGroupBox(QGroupBox *box, QWidget *holder, const QRect &designedHolder,
                      const QSize &designedBox, const QSize &holderSize)
{
    const int top = qMax(designedHolder.y(), belowTitle(box));
    holder->setGeometry(designedHolder.x(), top, holderSize.width(), holderSize.height());
    const int rightMargin = designedBox.width() - designedHolder.x() - designedHolder.width();
    const int bottomMargin = designedBox.height() - designedHolder.y() - designedHolder.height();
    return designedBox.expandedTo(QSize(designedHolder.x() + holderSize.width() + rightMargin,
                                        top + holderSize.height() + bottomMargin));
}

} // namespace formfit
