#pragma once

#include <QString>

// The one escaping of the journal's fields (paths, versions): the text's
// UTF-8 bytes, with "%", every control character, and every byte outside
// ASCII written as %XX, so that a field holds no tab and no line end and a
// path survives exactly. Read back by a single left-to-right decoder, which
// also reads what earlier versions wrote (header fields in URL
// percent-encoding; paths with only "%", tab, LF and CR escaped).
namespace JournalCodec {

QString encode(const QString &text);

// False when field is no encoded text: a "%" not followed by two hex digits,
// or bytes that are not UTF-8.
bool decode(const QString &field, QString *text);

} // namespace JournalCodec
