#include "host/qt/page_scheme.h"

#include <QBuffer>
#include <QByteArray>
#include <QUrl>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>

#include "host/qt/qt_strings.h"

namespace trb::host {
namespace {

constexpr std::string_view kBase64Marker = ";base64,";

}  // namespace

void RegisterPageScheme() {
  QWebEngineUrlScheme scheme(kPageScheme);
  scheme.setSyntax(QWebEngineUrlScheme::Syntax::Path);
  QWebEngineUrlScheme::registerScheme(scheme);
}

std::string PageSchemeUrlFor(const std::string& data_url) {
  size_t at = data_url.find(kBase64Marker);
  if (data_url.rfind("data:", 0) != 0 || at == std::string::npos) return {};
  return std::string(kPageScheme) + ":" + data_url.substr(at + kBase64Marker.size());
}

bool SubframeDenials::Add(const std::string& url, const std::string& page_data_url) {
  std::lock_guard lock(mutex_);
  if (pages_.size() >= kMaxPending) return false;
  pages_.emplace(url, page_data_url);
  return true;
}

std::string SubframeDenials::Take(const std::string& url) {
  std::lock_guard lock(mutex_);
  auto it = pages_.find(url);
  if (it == pages_.end()) return {};
  std::string page = std::move(it->second);
  pages_.erase(it);
  return page;
}

bool SubframeDenials::Issued(const std::string& page_scheme_url) {
  std::lock_guard lock(mutex_);
  if (issued_.size() >= kMaxPending) return false;
  issued_.insert(page_scheme_url);
  return true;
}

bool SubframeDenials::TakeIssued(const std::string& page_scheme_url) {
  std::lock_guard lock(mutex_);
  auto it = issued_.find(page_scheme_url);
  if (it == issued_.end()) return false;
  issued_.erase(it);
  return true;
}

SubframeInterceptor::SubframeInterceptor(std::shared_ptr<SubframeDenials> denials, QObject* parent)
    : QWebEngineUrlRequestInterceptor(parent), denials_(std::move(denials)) {}

void SubframeInterceptor::interceptRequest(QWebEngineUrlRequestInfo& info) {
  if (info.resourceType() != QWebEngineUrlRequestInfo::ResourceTypeSubFrame) return;
  std::string page = denials_->Take(ToUtf8(info.requestUrl()));
  if (page.empty()) return;
  std::string target = PageSchemeUrlFor(page);
  if (target.empty()) {
    info.block(true);
    return;
  }
  QUrl redirect(QString::fromStdString(target));
  if (!denials_->Issued(ToUtf8(redirect))) {
    info.block(true);
    return;
  }
  info.redirect(redirect);
}

void PageSchemeHandler::requestStarted(QWebEngineUrlRequestJob* job) {
  QByteArray payload = job->requestUrl().path(QUrl::FullyEncoded).toLatin1();
  QByteArray html = QByteArray::fromBase64(QByteArray::fromPercentEncoding(payload));
  auto* buffer = new QBuffer(job);
  buffer->setData(html);
  buffer->open(QIODevice::ReadOnly);
  job->reply("text/html", buffer);
}

}  // namespace trb::host
