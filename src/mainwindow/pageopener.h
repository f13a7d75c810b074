#pragma once

class QUrl;
class QWidget;

// Opens a web page in the user's browser. Where none can open it, a message
// box over `parent` says so and shows the address, selectable, so that it
// can be copied into a browser by hand. The box does not block the caller.
// Returns whether the browser took the page.
bool openPage(QWidget *parent, const QUrl &url);
