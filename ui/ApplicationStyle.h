#pragma once

class QApplication;
class QLocale;

// Registers the look's resources (style sheet, icon, images under ":/res")
// compiled into this library; safe to call more than once.
void initUiResources();

// Installs the embedded style sheet ":/res/upgrade_style.qss" on the
// application; a missing sheet leaves the platform's default look.
void installApplicationStyle(QApplication &app);

// Loads Qt's own translations (the standard dialogs' buttons and texts) for
// locale, when the system has them; false leaves Qt's built-in English.
bool installQtTranslations(QApplication &app, const QLocale &locale);
