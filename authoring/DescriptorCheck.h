#pragma once

#include <QString>

// The check of a package tree's upgrade_config.xml: it must parse, hold the
// keys the installer reads, and give a version range the installer's fit
// check can accept.
namespace DescriptorCheck {

// What is wrong with <sourceDir>/upgrade/upgrade_config.xml, in English, or
// an empty string when nothing is.
QString problem(const QString &sourceDir);

} // namespace DescriptorCheck
