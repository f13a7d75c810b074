#pragma once

class QLabel;
class QString;

// Shows a record's name in a row, as text and tool tip, exactly as stored:
// names come from the service or the user and are never read as markup.
void setRowName(QLabel *label, const QString &name);
