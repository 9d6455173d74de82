#pragma once

#include <QFileDialog>

class QApplication;
class QLocale;

// Registers the look's resources (style sheet, icon, images under ":/res")
// compiled into this library; safe to call more than once.
void initUiResources();

// Installs the embedded style sheet ":/res/upgrade_style.qss" on the
// application; a missing sheet leaves the platform's default look.
void installApplicationStyle(QApplication &app);

// Loads Qt's own translations (the standard dialogs' buttons and texts) for
// locale from Qt's translations folder, else from those compiled into the
// program (Chinese); false leaves Qt's built-in English.
bool installQtTranslations(QApplication &app, const QLocale &locale);

// The program speaks Chinese whatever the system's language: Qt's own texts
// and the default locale (Qt's dialogs format numbers and dates by it). The
// system locale stays as it is. False when Qt's translation could not load.
bool installProgramLanguage(QApplication &app);

// The file dialog to use: the native one only where the system speaks
// Chinese, Qt's own (translated) dialog elsewhere.
QFileDialog::Options fileDialogOptions(const QLocale &system);
