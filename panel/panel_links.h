#pragma once

#include <string>

// The panel's build-time links to the outside world (CMake cache variables
// TELVARA_PANEL_WEB_SITE, TELVARA_PANEL_USAGE_ENDPOINT, TELVARA_PANEL_SITE_ID).
struct PanelLinks {
    std::string webSite;        // opened by the image button
    std::string usageEndpoint;  // http base URL of the statistics service; empty: no request
    std::string siteId;         // decimal site id the statistics service issued
};
