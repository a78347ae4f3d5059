// Wakes a waiting thread when the kernel announces a new or changed network
// link, so a wait for a device need not sleep out its whole poll interval.
#pragma once

#include <memory>

namespace helper {

class LinkMonitor {
 public:
  virtual ~LinkMonitor() = default;
  // Blocks until a link announcement arrives or `timeoutSeconds` pass;
  // true when woken by an announcement. Announcements that arrived since the
  // last call wake it at once; all of them are consumed.
  virtual bool waitForLinkChange(double timeoutSeconds) = 0;
};

// An rtnetlink subscription to link announcements of this network
// namespace; null when the socket cannot be opened.
std::unique_ptr<LinkMonitor> openLinkMonitor();

}  // namespace helper
