#pragma once

class QApplication;

// Registers the look's resources (style sheet, icon, images under ":/res")
// compiled into this library; safe to call more than once.
void initUiResources();

// Installs the embedded style sheet ":/res/upgrade_style.qss" on the
// application; a missing sheet leaves the platform's default look.
void installApplicationStyle(QApplication &app);
