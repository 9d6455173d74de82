#pragma once

class QApplication;

// Installs the embedded style sheet ":/res/upgrade_style.qss" on the
// application; a missing sheet leaves the platform's default look.
void installApplicationStyle(QApplication &app);
