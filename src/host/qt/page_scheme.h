// Generated pages for subframes. The engine cannot send a subframe to a data: URL from the
// network layer, so a refused subframe request is redirected to our own scheme, whose handler
// serves the same page text the data: URL carries.
#pragma once

#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineUrlSchemeHandler>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace trb::host {

inline constexpr char kPageScheme[] = "trb-page";

// Registers the scheme with the engine; must run before the application object exists.
void RegisterPageScheme();

// "trb-page:" + the payload of a base64 data: URL; empty when `data_url` is not one.
std::string PageSchemeUrlFor(const std::string& data_url);

// Subframe requests to refuse, by URL, each with the data: URL of the page to show instead.
class SubframeDenials {
 public:
  // Records one refused navigation. False when too many are pending already (a page can
  // start navigations whose requests never come): the caller then refuses it outright.
  bool Add(const std::string& url, const std::string& page_data_url);
  // Takes one page for `url` out of the set; empty when the URL is not refused. Two frames
  // refused with the same URL each get their own entry.
  std::string Take(const std::string& url);

  // The page-scheme URLs the interceptor has sent a frame to. Only these are let through when
  // the frame then navigates to them; a page that names the scheme itself gets the ordinary
  // decision.
  // False when too many are outstanding: the interceptor then blocks the request instead.
  bool Issued(const std::string& page_scheme_url);
  bool TakeIssued(const std::string& page_scheme_url);

  static constexpr size_t kMaxPending = 256;

 private:
  std::mutex mutex_;
  std::multimap<std::string, std::string> pages_;
  std::multiset<std::string> issued_;
};

// Per page: turns a refused subframe request into a redirect to the page scheme.
class SubframeInterceptor : public QWebEngineUrlRequestInterceptor {
  Q_OBJECT
 public:
  SubframeInterceptor(std::shared_ptr<SubframeDenials> denials, QObject* parent);
  void interceptRequest(QWebEngineUrlRequestInfo& info) override;

 private:
  std::shared_ptr<SubframeDenials> denials_;
};

// Serves "trb-page:" URLs: decodes the page text they carry.
class PageSchemeHandler : public QWebEngineUrlSchemeHandler {
  Q_OBJECT
 public:
  using QWebEngineUrlSchemeHandler::QWebEngineUrlSchemeHandler;
  void requestStarted(QWebEngineUrlRequestJob* job) override;
};

}  // namespace trb::host
