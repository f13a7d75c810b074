#pragma once

class QUrl;
class QWidget;

// Opens a web page in the user's browser. Where none can open it, a message
// box over `parent` says so and shows the address, selectable, so that it
// can be copied into a browser by hand; the box does not block the caller.
// Returns false when it is known at once that no browser takes the page
// (with xdg-open the box may come a moment later).
bool openPage(QWidget *parent, const QUrl &url);
