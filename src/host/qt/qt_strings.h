// Text crossing the Qt boundary: our side is UTF-8 bytes, Qt's is QString/QUrl.
#pragma once

#include <QString>
#include <QUrl>

#include <string>

namespace trb::host {

// A URL as the engine spells it (percent-encoded), so it can be compared and reported.
inline std::string ToUtf8(const QUrl& url) {
  return url.toString(QUrl::FullyEncoded).toStdString();
}
inline std::string ToUtf8(const QString& text) { return text.toStdString(); }
inline QString ToQString(const std::string& text) { return QString::fromStdString(text); }

}  // namespace trb::host
