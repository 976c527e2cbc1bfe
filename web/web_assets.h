// The status page's files, built into the program so that it serves the page
// without any file beside it and without the browser reaching anywhere else.
#pragma once

#include <string_view>

namespace velt::web {

struct Asset {
    std::string_view contentType;
    std::string_view bytes;
};

/// The page's file at `path` ("/" is index.html, "/status.js" the bundle); nullptr when there is none.
const Asset* findAsset(std::string_view path);

}  // namespace velt::web
