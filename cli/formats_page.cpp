// vt_formats_page TEMPLATE OUTPUT: help/formats.html from the plug-ins in the build tree, as
// vtconvert --list-formats lists them. The template's "@FORMAT_LIST@" and "@OPTION_LIST@" lines
// become the rows of the two tables. A build step, never installed.

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "base/utf.h"
#include "platform/paths.h"
#include "session/format_catalogue.h"
#include "session/session.h"

namespace {

std::string escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string plugin_name(const std::u16string& path) {
    return vt::base::utf16_to_utf8(vt::platform::file_name_of(path));
}

std::string format_rows(const vt::session::PluginListing& listing) {
    std::string rows;
    for (const vt::session::FormatEntry& f : listing.formats) {
        const bool writes = f.built_in || !f.writer.empty();
        const std::string reader = f.built_in         ? "(built in)"
                                   : f.reader.empty() ? "(write only)"
                                                      : plugin_name(f.reader);
        const std::string writer = f.built_in ? "(built in)"
                                   : writes   ? plugin_name(f.writer)
                                              : "(read only)";
        rows += "<tr><td>" + vt::base::utf16_to_utf8(f.extension) + "</td><td>" +
                escaped(f.description.empty() ? "-" : f.description) + "</td><td>" + reader +
                "</td><td>" + writer + "</td><td>" +
                (writes ? std::to_string(f.write_depth) : "-") + "</td><td>" +
                (writes ? vt::session::keeps_text(f.keeps) : "-") + "</td></tr>\n";
    }
    return rows;
}

std::string option_rows(const vt::session::PluginListing& listing) {
    std::string rows;
    for (const vt::session::PluginOption& o : listing.options)
        rows += "<tr><td><code>" + escaped(o.name) + "</code></td><td>" + escaped(o.default_value) +
                "</td><td>" + escaped(o.meaning) + "</td></tr>\n";
    return rows;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: vt_formats_page TEMPLATE OUTPUT\n");
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::fprintf(stderr, "vt_formats_page: cannot read %s\n", argv[1]);
        return 1;
    }
    const vt::session::Session session;
    if (!session.started()) {
        std::fprintf(stderr, "vt_formats_page: %s\n",
                     vt::base::utf16_to_utf8(session.failure_text()).c_str());
        return 1;
    }
    const vt::session::PluginListing listing = vt::session::list_plugins();
    if (listing.formats.size() < 2) {
        std::fprintf(stderr, "vt_formats_page: no format plug-ins found\n");
        return 1;
    }
    std::ostringstream page;
    for (std::string line; std::getline(in, line);) {
        if (line == "@FORMAT_LIST@")
            page << format_rows(listing);
        else if (line == "@OPTION_LIST@")
            page << option_rows(listing);
        else
            page << line << '\n';
    }
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out << page.str();
    return out.good() ? 0 : 1;
}
