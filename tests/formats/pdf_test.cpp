#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/pdf/pdf_render.h"
#include "tests/formats/format_conformance.h"
#include "tests/formats/outside_tools.h"

namespace vt::test {
namespace {

struct PdfPage {
    double width_pt, height_pt;
    std::string content; // the page's drawing operators
    int rotate = 0;
};

// Shapes, a curve, thin lines and Helvetica text: what antialiasing and the fonts must agree on.
const std::string kDrawing = "1 0 0 rg 10 10 50 40 re f 0 0 1 RG 3 w 20 20 m 120 90 l S "
                             "0 0.6 0 rg 70 20 m 100 80 130 0 140 40 c f 0.2 w 5 100 m 140 60 l S "
                             "BT /F1 18 Tf 0 0 0 rg 12 70 Td (Page) Tj ET ";

// A PDF written by hand: a catalogue, the page tree and each page with its content stream.
std::string make_pdf(const std::vector<PdfPage>& pages) {
    std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>", ""};
    std::string kids;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        const std::size_t page = objects.size() + 1;
        kids += std::to_string(page) + " 0 R ";
        objects.push_back(
            "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + std::to_string(pages[i].width_pt) +
            " " + std::to_string(pages[i].height_pt) + "] /Rotate " +
            std::to_string(pages[i].rotate) + " /Contents " + std::to_string(page + 1) +
            " 0 R /Resources << /Font << /F1 << /Type /Font /Subtype /Type1 "
            "/BaseFont /Helvetica >> >> >> >>");
        objects.push_back("<< /Length " + std::to_string(pages[i].content.size()) +
                          " >>\nstream\n" + pages[i].content + "\nendstream");
    }
    objects[1] =
        "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>";
    std::string pdf = "%PDF-1.4\n";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const std::size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (const std::size_t offset : offsets) {
        const std::string digits = std::to_string(offset);
        pdf += std::string(10 - digits.size(), '0') + digits + " 00000 n \n";
    }
    return pdf + "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
           " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF";
}

// pdftoppm's drawing of page `page` at `dpi`.
std::optional<Frame> pdftoppm(const std::filesystem::path& file, int dpi, int page) {
    const std::string p = std::to_string(page);
    return decoded_by("sh -c 'pdftoppm -r " + std::to_string(dpi) + " -f " + p + " -l " + p +
                          " -png -singlefile \"$0\" \"${1%.png}\"'",
                      file);
}

double psnr(const Frame& a, const Frame& b) {
    if (a.width != b.width || a.height != b.height || a.pixels.size() != b.pixels.size())
        return 0;
    double sum = 0;
    for (std::size_t i = 0; i < a.pixels.size(); ++i)
        for (const int shift : {0, 8, 16}) {
            const double d = static_cast<double>((a.pixels[i] >> shift) & 0xFF) -
                             static_cast<double>((b.pixels[i] >> shift) & 0xFF);
            sum += d * d;
        }
    const double mse = sum / (3.0 * static_cast<double>(a.pixels.size()));
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

const std::vector<PdfPage> kThreePages = {{144, 108, kDrawing},
                                          {216, 72, kDrawing + "0 0 1 rg 150 10 40 40 re f"},
                                          {72, 144, kDrawing, 90}};

void make_corpus(const std::filesystem::path& folder) {
    write_bytes(folder / "drawing.pdf", make_pdf({kThreePages[0]}));
    write_bytes(folder / "wide.pdf", make_pdf({kThreePages[1]}));
    write_bytes(folder / "turned.pdf", make_pdf({kThreePages[2]}));
}

VT_FORMAT_CONFORMANCE(Pdf, FormatRow{.plugin = "fmx_PDF",
                                     .extension = ".pdf",
                                     .header = nullptr,
                                     .reference =
                                         [](const std::filesystem::path& file) {
                                             return pdftoppm(file, 150, 1);
                                         },
                                     .corpus_extension = ".pdf",
                                     .compared = 3,
                                     .tolerance = 1,
                                     .cut_keeps_whole_frames = true,
                                     .make_corpus_in = make_corpus,
                                     .sample =
                                         [](const std::filesystem::path& file) {
                                             write_bytes(file, make_pdf({{36, 24, kDrawing}}));
                                         }});

class PdfPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_PDF"); }
    void TearDown() override {
        HarnessServices::state().erase(u"fmx_PDF.dpi");
        HarnessServices::state().erase(u"fmx_PDF.page");
    }
};

// The resolution and the page option choose what is drawn; each page as pdftoppm draws it
// (PSNR at least 45 dB), white where nothing is drawn, labelled with its resolution.
TEST_F(PdfPlugin, ResolutionAndPageChooseWhatIsDrawnAsPdftoppmDrawsIt) {
    const std::filesystem::path file = m_temp / "three.pdf";
    write_bytes(file, make_pdf(kThreePages));
    const struct {
        const char* dpi;
        const char* page;
        std::vector<int> pages; // 1-based, as drawn
        std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes;
    } cases[] = {
        {nullptr, nullptr, {1}, {{300, 225}}},
        {"72", "2", {2}, {{216, 72}}},
        {"300", "3", {3}, {{600, 300}}}, // turned a quarter
        {"36", "all", {1, 2, 3}, {{72, 54}, {108, 36}, {72, 36}}},
        {"5", "ALL", {1, 2, 3}, {{72, 54}, {108, 36}, {72, 36}}}, // 36 dpi at least
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.dpi ? c.dpi : "-") + " " + (c.page ? c.page : "-"));
        if (c.dpi != nullptr)
            HarnessServices::set_state(u"fmx_PDF.dpi", c.dpi);
        if (c.page != nullptr)
            HarnessServices::set_state(u"fmx_PDF.page", c.page);
        const LoadResult loaded = load_with(api(), file.string());
        ASSERT_EQ(loaded.result, VT_OK);
        ASSERT_EQ(loaded.frames.size(), c.pages.size());
        EXPECT_EQ(loaded.doc_kind, c.pages.size() > 1 ? 1 : 0);
        EXPECT_EQ(loaded.warnings, 0);
        const int dpi = std::max(36, c.dpi ? std::atoi(c.dpi) : 150);
        for (std::size_t i = 0; i < c.pages.size(); ++i) {
            const Frame& f = loaded.frames[i];
            EXPECT_EQ(std::pair(f.width, f.height), c.sizes[i]) << i;
            EXPECT_EQ(f.pixels.back(), bgrt(255, 255, 255)) << i;
            EXPECT_EQ(phys_text(f), std::to_string(dpi) + " " + std::to_string(dpi) + " in") << i;
            const std::optional<Frame> theirs = pdftoppm(file, dpi, c.pages[i]);
            if (!theirs)
                continue; // no pdftoppm
            EXPECT_GE(psnr(f, *theirs), 45.0) << i;
        }
    }
}

// Refusals come before anything is drawn, and what cannot be drawn fails cleanly.
TEST_F(PdfPlugin, RefusalsAndBrokenDocumentsFailCleanly) {
    const std::string three = make_pdf(kThreePages);
    const struct {
        const char* what;
        std::string bytes;
        const char* dpi;
        const char* page;
        std::int32_t result;
        std::size_t frames;
        std::uint16_t warnings;
    } cases[] = {
        {"a page beyond the document", three, nullptr, "4", VT_ERR_PARAMETER_RANGE, 0, 0},
        {"no pages", make_pdf({}), nullptr, nullptr, VT_ERR_NO_IMAGE_DATA, 0, 0},
        {"over the pixel limit at 1200 dpi", make_pdf({{14400, 14400, kDrawing}}), "1200", nullptr,
         VT_ERR_DIMENSIONS, 0, 0},
        {"the same at 36 dpi", make_pdf({{14400, 14400, ""}}), "36", nullptr, VT_OK, 1, 0},
        {"only a header", "%PDF-1.4\n", nullptr, nullptr, VT_ERR_INVALID_DATA, 0, 0},
        {"not a PDF", "%PS-Adobe", nullptr, nullptr, VT_ERR_CORRUPT_OR_UNSUPPORTED, 0, 0},
        {"more pages than the host keeps", three, nullptr, "all", VT_OK, 2, VT_WARN_LAYERS_DROPPED},
        {"no cross-reference table", three.substr(0, three.find("startxref")), nullptr, nullptr,
         VT_OK, 1, VT_WARN_DATA_LOST},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HarnessServices::set_state(u"fmx_PDF.dpi", c.dpi ? c.dpi : "150");
        HarnessServices::set_state(u"fmx_PDF.page", c.page ? c.page : "1");
        const LoadResult loaded = load_bytes(c.bytes, {.max_frames = 2});
        EXPECT_EQ(loaded.result, c.result);
        EXPECT_EQ(loaded.frames.size(), c.frames);
        EXPECT_EQ(loaded.warnings, c.warnings);
    }
}

TEST(PdfPageSize, RoundsToWholePixelsAndTurnsWithThePage) {
    const struct {
        double w, h, dpi;
        bool turned;
        std::uint32_t width, height;
    } cases[] = {{612, 792, 150, false, 1275, 1650},
                 {612, 792, 72, true, 792, 612},
                 {10.3, 0.1, 72, false, 10, 1},
                 {0, 0, 300, false, 1, 1},
                 {1e12, 5, 1200, false, 4000000000u, 83}};
    for (const auto& c : cases) {
        const formats::pdf::PageSize s = formats::pdf::page_size(c.w, c.h, c.dpi, c.turned);
        EXPECT_EQ(s.width, c.width) << c.w;
        EXPECT_EQ(s.height, c.height) << c.h;
    }
}

} // namespace
} // namespace vt::test
