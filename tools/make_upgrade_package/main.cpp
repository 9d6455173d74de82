// make_upgrade_package: builds, lists, inspects, verifies and signs upgrade
// packages, and lays out a package tree from two installation trees. See
// the texts below (--help) for the commands and exit codes.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>
#include <QTextStream>

#include "PackageTool.h"
#include "ProgramVersion.h"

namespace {

const char usageText[] = R"(Usage:
  make_upgrade_package SOURCE_DIR OUTPUT.rcc [--sign-with SECRET_KEY [--trusted-comment TEXT]]
  make_upgrade_package --list PACKAGE
  make_upgrade_package --info PACKAGE [--key KEY]...
  make_upgrade_package --verify PACKAGE [--key KEY]...
  make_upgrade_package --sign PACKAGE --secret-key SECRET_KEY [--trusted-comment TEXT]
  make_upgrade_package --extract PACKAGE DIR [--key KEY]...
  make_upgrade_package --diff OLD_DIR NEW_DIR OUT_DIR
  make_upgrade_package --help
  make_upgrade_package --version
)";

const char helpText[] = R"(
Builds an upgrade package (.rcc) from SOURCE_DIR, which holds the folder
"upgrade" with upgrade_config.xml. The package gets upgrade/manifest.sha256,
the SHA-256 of every file in it.

  --list     prints the package's tree with the size of every file.
  --info     prints the descriptor's entries, the readme's size, the state of
             the manifest and of the signature PACKAGE.minisig.
  --verify   checks the structure, every file against the manifest and the
             signature (against --key; without a key it is only read).
  --sign     writes PACKAGE.minisig, a minisign signature (prehashed), with the
             trusted comment given or "timestamp:<time>\tfile:<name>\thashed".
  --extract  checks PACKAGE as --verify does, then writes its tree (upgrade/...)
             into DIR, which must be empty or new (its parent must exist),
             every file checked against the manifest as it is written; the
             placeholder files of empty folders are left out. On a failure
             nothing written is left and DIR is as it was.
  --diff     lays out OUT_DIR/upgrade with delete/, update/ and add/ that take an
             installation from the tree OLD_DIR to the tree NEW_DIR, and a
             template upgrade_config.xml to fill in. OUT_DIR must not exist.

  --key KEY            a minisign public key file, or a folder of *.pub files
                       such as an installation's
                       product/common/sysconfig/trusted_keys; may be repeated.
  --secret-key KEY     a minisign secret key (--sign-with when building). The
                       password of an encrypted key comes from the environment
                       variable MINISIGN_PASSWORD or, on a terminal, a prompt.
  --trusted-comment T  the signature's trusted comment (one line).
  --version            prints "make_upgrade_package <version>".

Exit codes: 0 success; 1 failure (a refused tree, a file that cannot be read
or written, an unusable key, a DIR that is not empty); 2 the structure is
damaged or the file is no package; 3 a file does not match the manifest, or
the manifest is malformed; 4 the signature is invalid or, with --key,
missing or by none of the keys; 64 wrong usage. --verify reports every check
and exits with the code of the first one that failed.
)";

int usageError(QTextStream &err, const QString &reason)
{
    err << "make_upgrade_package: " << reason << "\n" << usageText;
    return PackageTool::UsageError;
}

// The command asked for, empty for a build; false, with the mistake, when
// there are two.
bool pickMode(
    const QCommandLineParser &parser, const QStringList &modes, QString *mode, QString *mistake)
{
    for (const QString &candidate : modes) {
        if (!parser.isSet(candidate))
            continue;
        if (!mode->isEmpty()) {
            *mistake = QStringLiteral("--%1 and --%2 cannot go together").arg(*mode, candidate);
            return false;
        }
        *mode = candidate;
    }
    return true;
}

// Whether the command takes two arguments (a build: SOURCE_DIR OUTPUT).
bool twoArguments(const QString &mode)
{
    return mode.isEmpty() || mode == QLatin1String("extract");
}

// Whether the options given go with the command mode.
bool optionsFit(const QCommandLineParser &parser, const QString &mode)
{
    const bool keys = parser.isSet(QStringLiteral("key"));
    const bool secret = parser.isSet(QStringLiteral("secret-key"));
    const bool signWith = parser.isSet(QStringLiteral("sign-with"));
    const bool comment = parser.isSet(QStringLiteral("trusted-comment"));
    const bool keyed = mode == QLatin1String("info") || mode == QLatin1String("verify")
        || mode == QLatin1String("extract");
    return !((keys && !keyed) || (secret != (mode == QLatin1String("sign")))
        || (signWith && !mode.isEmpty()) || (comment && !secret && !signWith));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    QCommandLineParser parser;
    const QCommandLineOption help({ QStringLiteral("h"), QStringLiteral("help") }, QString());
    const QStringList modes { QStringLiteral("list"), QStringLiteral("info"),
        QStringLiteral("verify"), QStringLiteral("sign"), QStringLiteral("extract"),
        QStringLiteral("diff") };
    const QCommandLineOption version(QStringLiteral("version"), QString());
    parser.addOption(help);
    parser.addOption(version);
    for (const QString &mode : modes)
        parser.addOption(QCommandLineOption(mode, QString()));
    for (const char *valued : { "key", "secret-key", "sign-with", "trusted-comment" })
        parser.addOption(QCommandLineOption(QString::fromLatin1(valued), QString(), "VALUE"));
    if (!parser.parse(app.arguments()))
        return usageError(err, parser.errorText());
    if (parser.isSet(help)) {
        out << usageText << helpText;
        return PackageTool::Success;
    }
    if (parser.isSet(version)) {
        out << ProgramVersion::line(QStringLiteral("make_upgrade_package")) << "\n";
        return PackageTool::Success;
    }

    QString mode, mistake;
    if (!pickMode(parser, modes, &mode, &mistake))
        return usageError(err, mistake);
    const QStringList args = parser.positionalArguments();
    const int wanted = mode == QLatin1String("diff") ? 3 : twoArguments(mode) ? 2 : 1;
    if (args.size() != wanted)
        return usageError(
            err, QStringLiteral("%1 arguments given, %2 expected").arg(args.size()).arg(wanted));
    if (!optionsFit(parser, mode))
        return usageError(err, QStringLiteral("an option does not fit this command"));

    const PackageTool::Streams io { out, err };
    const QString commentText = parser.value(QStringLiteral("trusted-comment"));
    const bool comment = parser.isSet(QStringLiteral("trusted-comment"));
    if (mode == QLatin1String("list"))
        return PackageTool::list(args.at(0), io);
    if (mode == QLatin1String("info"))
        return PackageTool::info(args.at(0), parser.values(QStringLiteral("key")), io);
    if (mode == QLatin1String("verify"))
        return PackageTool::verify(args.at(0), parser.values(QStringLiteral("key")), io);
    if (mode == QLatin1String("sign"))
        return PackageTool::sign(
            args.at(0), parser.value(QStringLiteral("secret-key")), commentText, comment, io);
    if (mode == QLatin1String("extract"))
        return PackageTool::extract(
            args.at(0), args.at(1), parser.values(QStringLiteral("key")), io);
    if (mode == QLatin1String("diff"))
        return PackageTool::diff(args.at(0), args.at(1), args.at(2), io);
    return PackageTool::build(args.at(0), args.at(1), parser.value(QStringLiteral("sign-with")),
        commentText, comment, io);
}
