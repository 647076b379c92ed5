#include "gui/Fonts.h"

#include <QFont>
#include <QStringList>

void installFontSubstitutes()
{
    QFont::insertSubstitutions(QStringLiteral("Yu Gothic UI"),
                               {QStringLiteral("Liberation Sans Narrow"), QStringLiteral("Nimbus Sans Narrow"),
                                QStringLiteral("Arial Narrow")});
}
