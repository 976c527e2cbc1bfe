#include "web/web_assets.h"

#include <cstdint>

// The files' bytes, put into read-only data by the assembler: far quicker to
// build than a generated array of a few hundred thousand numbers. Each file
// gets a start label and its size as a 64-bit word (its size, not an end
// label, so that no pointers of two objects are ever subtracted).
#define VELT_EMBED(name, file)                                                   \
    ".pushsection .rodata." name ",\"a\",@progbits\n"                             \
    ".globl " name "\n.hidden " name "\n.type " name ",@object\n" name ":\n"      \
    ".incbin \"" file "\"\n" name "_end:\n.size " name ", " name "_end - " name "\n" \
    ".balign 8\n.globl " name "_size\n.hidden " name "_size\n.type " name "_size,@object\n" \
    name "_size:\n.quad " name "_end - " name "\n.size " name "_size, 8\n"        \
    ".popsection\n"

asm(VELT_EMBED("velt_web_index_html", VELT_WEB_INDEX_HTML) VELT_EMBED("velt_web_status_js", VELT_WEB_STATUS_JS));

extern "C" {
extern const char velt_web_index_html[];
extern const std::uint64_t velt_web_index_html_size;
extern const char velt_web_status_js[];
extern const std::uint64_t velt_web_status_js_size;
}

namespace velt::web {

const Asset* findAsset(std::string_view path) {
    static const Asset index{"text/html; charset=utf-8", {velt_web_index_html, velt_web_index_html_size}};
    static const Asset script{"text/javascript; charset=utf-8", {velt_web_status_js, velt_web_status_js_size}};
    if (path == "/") return &index;
    if (path == "/status.js") return &script;
    return nullptr;
}

}  // namespace velt::web
