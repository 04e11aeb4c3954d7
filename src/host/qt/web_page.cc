#include "host/qt/web_page.h"

namespace trb::host {

bool WebPage::acceptNavigationRequest(const QUrl& url, NavigationType type, bool is_main_frame) {
  return hook_ && hook_(url, is_main_frame, type == NavigationTypeRedirect);
}

}  // namespace trb::host
