#pragma once

#include <string>

// Makes a device value safe to place inside an attribute value or element
// text of the reports, so that every report stays well-formed XML and an XML
// reader gets the value back:
// - & < > " become &amp; &lt; &gt; &quot;
// - tab, line feed and carriage return become &#9; &#10; &#13; (a reader
//   would otherwise fold them to blanks inside attribute values, and the
//   report stays on one line)
// - NUL bytes are dropped (switches pad their fixed-width model text with them)
// - any other byte XML 1.0 cannot carry (other control bytes, bytes that are
//   not part of valid UTF-8, encoded surrogates, U+FFFE and U+FFFF) becomes
//   U+FFFD, one per offending byte
// Every other byte is copied unchanged.
std::string XMLEscapeValue(const std::string& value);
