// The forms were drawn at absolute positions for one font and one style.
// Under another font or style their texts would be cut short, group titles
// would run into their first rows and the window's own bars would push the
// bottom row out of sight. These helpers grow a form just enough: where the
// designed geometry already fits, nothing moves.
#ifndef FORMFIT_H
#define FORMFIT_H

#include <QRect>
#include <QSize>

class QGroupBox;
class QWidget;

namespace formfit {

// What a holder of a box layout needs: its layout's size hint, widened by
// extraWidth (room for counters that grow).
QSize neededSize(const QWidget *holder, int extraWidth = 0);

// The first y inside a group box below its title, as the style draws it.
int belowTitle(const QGroupBox *box);

// Places a holder inside its group box at its designed left and no higher
// than the box's title allows, at the given size; returns the box size that
// keeps the designed right and bottom margins around it.
QSize placeInGroupBox(QGroupBox *box, QWidget *holder, const QRect &designedHolder,
                      const QSize &designedBox, const QSize &holderSize);

} // namespace formfit

#endif
