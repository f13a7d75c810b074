#include "library/rowname.h"

#include <QLabel>

void setRowName(QLabel *label, const QString &name)
{
    label->setTextFormat(Qt::PlainText);
    label->setText(name);
    // A tool tip that looks like markup is drawn as markup; escaped inside a
    // paragraph it always shows the name itself.
    label->setToolTip(QStringLiteral("<p>") + name.toHtmlEscaped() + QStringLiteral("</p>"));
}
