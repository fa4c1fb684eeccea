// The station editor's check that a text looks like a stream address.
#pragma once

#include <QString>

// True when a case-insensitive search finds, anywhere in text, a scheme ending in a letter,
// digit or underscore followed by "://" and then either a dotted host name with a top-level
// part of at least two letters, a bracketed address literal, or a dotted four-part numeric
// address.
bool IsStreamUrl(const QString &text);
