#include "app/wizard/effects_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QVBoxLayout>

#include "app/translate.h"
#include "app/wizard/format_page.h"
#include "app/wizard/job_options.h"
#include "lang/xlat.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "session/job_door.h"

namespace vt::app {
namespace {

const char16_t* const kRotations[] = {
    u"0 - None",        u"1 - Fixed, 90° Clockwise", u"2 - Fixed, 90° Anti-clockwise",
    u"3 - Fixed, 180°", u"4 - Use EXIF Orientation", u"5 - Use Sky and Face Detection"};

// Every kind of file some plug-in or the suite can take a picture from.
constexpr const char* kKnownPatterns =
    "*.vt5 *.bmp *.dib *.rle *.png *.apng *.jpg *.jpeg *.jpe *.jfif *.jp2 *.j2k *.j2c *.jpc "
    "*.jpf *.jpx *.jxr *.wdp *.hdp *.gif *.tif *.tiff *.webp *.psd *.psb *.xcf *.ora *.pcx "
    "*.dcx *.tga *.icb *.vda *.vst *.ppm *.pgm *.pbm *.pnm *.pam *.pfm *.xpm *.xbm *.dds "
    "*.ico *.cur *.ani *.heic *.heif *.avif *.jxl *.exr *.hdr *.sgi *.rgb *.ras *.qoi *.wbmp "
    "*.crw *.cr2 *.cr3 *.nef *.nrw *.arw *.srf *.sr2 *.orf *.rw2 *.raf *.dng *.pef *.srw "
    "*.mrw *.x3f *.3fr *.erf *.kdc *.mos *.iiq *.rwl *.avi *.mp4 *.mov *.mkv *.webm *.wmv "
    "*.mpg *.mpeg *.mj2 *.flv *.exe *.dll *.so *.icl *.abr *.pat *.gbr *.gih *.vbr *.lnk";
QString g_last_filter; // the filter chosen last, for the next opening

QSpinBox* spin(QWidget* page, const char* name, const engine::FieldRange& range,
               std::uint32_t value) {
    auto* box = new QSpinBox(page);
    box->setObjectName(QLatin1String(name));
    box->setRange(static_cast<int>(range.min), static_cast<int>(range.max));
    box->setValue(static_cast<int>(value));
    return box;
}

QString radius_text(int r) {
    return fill_numbers(xlat(u"radius=%i; window=%ix%i"), {r, 2 * r + 1, 2 * r + 1});
}

} // namespace

QString choose_watermark_file(QWidget* parent, const QString& current) {
    QString start;
    if (QFileInfo(current).isFile()) {
        start = QFileInfo(current).absolutePath();
    } else {
        start = QString::fromStdU16String(
            platform::join_path(platform::shared_content_folder(), u"Images"));
        QDir().mkpath(start);
    }
    const QStringList filters = {xlat(u"All Known Formats and Binaries") + QStringLiteral(" (") +
                                     QLatin1String(kKnownPatterns) + QLatin1Char(')'),
                                 xlat(u"Vantrel Images Only") + QStringLiteral(" (*.vt5)"),
                                 xlat(u"Any format") + QStringLiteral(" (*)")};
    QFileDialog dialog(parent, xlat(u"Load from File"), start);
    dialog.setObjectName(QStringLiteral("watermark_chooser"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(filters);
    dialog.setDefaultSuffix(QStringLiteral("vt5"));
    if (filters.contains(g_last_filter))
        dialog.selectNameFilter(g_last_filter);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    g_last_filter = dialog.selectedNameFilter();
    const QFileInfo chosen(dialog.selectedFiles().front());
    if (chosen.suffix().compare(QLatin1String("lnk"), Qt::CaseInsensitive) == 0 &&
        chosen.isSymLink())
        return chosen.symLinkTarget();
    return chosen.absoluteFilePath();
}

EffectsPage::EffectsPage(engine::ConversionJob& job, QWidget* owner, std::function<void()> help)
    : WizardPage(6, u"Select Effects and Transforms", job, owner, std::move(help)) {
    m_rotation = new QComboBox(this);
    m_rotation->setObjectName(QStringLiteral("rotation"));
    for (const char16_t* item : kRotations)
        m_rotation->addItem(xlat(item));
    m_rotation->setCurrentIndex(std::clamp(m_job.rotationMode, 0, 5));
    body()->addWidget(m_rotation);
    auto* exif = new QCheckBox(xlat(u"Change EXIF Orientation tag"), this);
    exif->setChecked(true);
    exif->setEnabled(false);
    body()->addWidget(exif);
    m_levels = new QCheckBox(xlat(u"Autofix Pictures' Levels"), this);
    m_levels->setObjectName(QStringLiteral("levels"));
    m_levels->setChecked(m_job.autofixLevels != 0);
    body()->addWidget(m_levels);

    m_denoise = new QCheckBox(xlat(u"Apply Noise Reduction (Median Denoise)"), this);
    m_denoise->setObjectName(QStringLiteral("denoise"));
    m_denoise->setChecked(m_job.denoiseRadius > 0);
    body()->addWidget(m_denoise);
    auto* radius_row = new QHBoxLayout;
    m_radius = new QSlider(Qt::Horizontal, this);
    m_radius->setObjectName(QStringLiteral("radius"));
    m_radius->setRange(1, 9);
    m_radius->setSingleStep(1);
    m_radius->setPageStep(1);
    m_radius->setTickInterval(1);
    m_radius->setTickPosition(QSlider::TicksBelow);
    m_radius_label = new QLabel(this);
    m_radius_label->setMinimumWidth(
        m_radius_label->fontMetrics().horizontalAdvance(radius_text(9)));
    radius_row->addWidget(m_radius, 1);
    radius_row->addWidget(m_radius_label);
    body()->addLayout(radius_row);
    connect(m_radius, &QSlider::valueChanged, this,
            [this](int r) { m_radius_label->setText(radius_text(r)); });
    m_radius->setValue(std::clamp(m_job.denoiseRadius, 1, 9));
    m_radius_label->setText(radius_text(m_radius->value()));
    m_radius->setEnabled(m_denoise->isChecked());
    connect(m_denoise, &QCheckBox::toggled, m_radius, &QWidget::setEnabled);

    auto* mark = new QGridLayout;
    m_file = new QLineEdit(to_q(m_job.watermarkFile.view()), this);
    m_file->setObjectName(QStringLiteral("watermark"));
    m_file->setMaxLength(static_cast<int>(engine::PathText::capacity()) - 1);
    auto* browse = new QPushButton(QStringLiteral("..."), this);
    browse->setFixedWidth(browse->fontMetrics().horizontalAdvance(QStringLiteral("....")) * 2);
    m_x = spin(this, "x", engine::kWatermarkXRange, m_job.watermarkX);
    m_y = spin(this, "y", engine::kWatermarkYRange, m_job.watermarkY);
    m_size = spin(this, "size", engine::kWatermarkSizeRange, m_job.watermarkSize);
    m_fade = spin(this, "fade", engine::kWatermarkFadeRange, m_job.watermarkFade);
    mark->addWidget(new QLabel(xlat(u"File:"), this), 0, 0);
    mark->addWidget(m_file, 0, 1, 1, 4);
    mark->addWidget(browse, 0, 5);
    mark->addWidget(new QLabel(xlat(u"X,Y:"), this), 1, 0);
    mark->addWidget(m_x, 1, 1);
    mark->addWidget(m_y, 1, 2);
    mark->addWidget(new QLabel(xlat(u"Size:"), this), 2, 0);
    mark->addWidget(m_size, 2, 1);
    mark->addWidget(new QLabel(xlat(u"Fade:"), this), 2, 2, Qt::AlignRight);
    mark->addWidget(m_fade, 2, 3);
    mark->setColumnStretch(4, 1);
    addTextMarkRows(mark);
    body()->addLayout(mark);
    body()->addStretch(1);

    const auto follow_file = [this] {
        m_job.watermarkFile.assign(m_file->text().toStdU16String());
        const bool exists =
            platform::is_file(m_job.watermarkFile.view()) || !m_text->text().isEmpty();
        for (QSpinBox* box : {m_x, m_y, m_size, m_fade})
            box->setEnabled(exists);
    };
    connect(m_file, &QLineEdit::textChanged, this, follow_file);
    connect(m_text, &QLineEdit::textChanged, this, follow_file);
    follow_file();
    connect(browse, &QPushButton::clicked, this, &EffectsPage::chooseWatermark);
}

// The text watermark: its text, font, colour and opacity below the picture mark's fields.
void EffectsPage::addTextMarkRows(QGridLayout* mark) {
    m_text = new QLineEdit(to_q(m_job.watermarkText.view()), this);
    m_text->setObjectName(QStringLiteral("watermark_text"));
    m_text->setMaxLength(static_cast<int>(m_job.watermarkText.capacity()) - 1);
    m_font = new QLineEdit(to_q(m_job.watermarkFont.view()), this);
    m_font->setObjectName(QStringLiteral("watermark_font"));
    m_font->setPlaceholderText(QStringLiteral("sans-serif"));
    m_font->setMaxLength(static_cast<int>(m_job.watermarkFont.capacity()) - 1);
    m_colour = new QLineEdit(
        QStringLiteral("%1").arg(m_job.watermarkColor, 6, 16, QLatin1Char('0')), this);
    m_colour->setObjectName(QStringLiteral("watermark_color"));
    m_colour->setInputMask(QStringLiteral("HHHHHH"));
    m_opacity = spin(this, "opacity", engine::kWatermarkOpacityRange, m_job.watermarkOpacity);
    mark->addWidget(new QLabel(xlat(u"Text:"), this), 3, 0);
    mark->addWidget(m_text, 3, 1, 1, 5);
    mark->addWidget(new QLabel(xlat(u"Font:"), this), 4, 0);
    mark->addWidget(m_font, 4, 1, 1, 2);
    mark->addWidget(new QLabel(xlat(u"Colour:"), this), 4, 3, Qt::AlignRight);
    mark->addWidget(m_colour, 4, 4);
    mark->addWidget(new QLabel(xlat(u"Opacity:"), this), 5, 0);
    mark->addWidget(m_opacity, 5, 1);
}

void EffectsPage::chooseWatermark() {
    const QString chosen = choose_watermark_file(this, m_file->text());
    if (!chosen.isEmpty())
        m_file->setText(chosen);
}

void EffectsPage::storeForBack() {
    m_job.rotationMode = leading_number(m_rotation->currentText());
    m_job.autofixLevels = m_levels->isChecked() ? 1 : 0;
    m_job.denoiseRadius = m_denoise->isChecked() ? m_radius->value() : 0;
    m_job.watermarkX = static_cast<std::uint32_t>(m_x->value());
    m_job.watermarkY = static_cast<std::uint32_t>(m_y->value());
    m_job.watermarkSize = static_cast<std::uint32_t>(m_size->value());
    m_job.watermarkFade = static_cast<std::uint32_t>(m_fade->value());
    m_job.watermarkFile.assign(m_file->text().toStdU16String());
    m_job.watermarkText.assign(m_text->text().toStdU16String());
    m_job.watermarkFont.assign(m_font->text().toStdU16String());
    bool ok = false;
    const std::uint32_t colour = m_colour->text().toUInt(&ok, 16);
    if (ok)
        m_job.watermarkColor = colour;
    m_job.watermarkOpacity = static_cast<std::uint32_t>(m_opacity->value());
}

bool EffectsPage::storeForNext() {
    storeForBack();
    return true;
}

OtherOptionsPage::OtherOptionsPage(engine::ConversionJob& job, QWidget* owner,
                                   std::function<void()> help)
    : WizardPage(7, u"Select Other Options", job, owner, std::move(help)) {
    const auto box = [this](const char16_t* text, const char* name, std::uint8_t value) {
        auto* check = new QCheckBox(xlat(text), this);
        check->setObjectName(QLatin1String(name));
        check->setChecked(value != 0);
        body()->addWidget(check);
        return check;
    };
    m_gps = box(u"Remove EXIF tags for Geo-Location (GPS data)", "remove_gps", m_job.removeGps);
    m_dates = box(u"Remove EXIF tags for Date and Time (standard and GPS)", "remove_dates",
                  m_job.removeDates);
    m_pass_thru = box(u"Passthru for Unchanged Files", "pass_thru", m_job.passThru);
    m_fast_decode = box(u"Fast draft decode of JPEG, JPEG 2000 and WebP (not bit-exact)",
                        "fast_decode", m_job.fastDecode);
    body()->addWidget(new QLabel(xlat(u"Colour profiles to sRGB:"), this));
    m_to_srgb = new QComboBox(this);
    m_to_srgb->setObjectName(QStringLiteral("to_srgb"));
    for (const char16_t* item :
         {u"0 - Only for targets without profiles (perceptual)", u"1 - Always, perceptual",
          u"2 - Always, relative colorimetric", u"3 - Never, keep the profile"})
        m_to_srgb->addItem(xlat(item));
    m_to_srgb->setCurrentIndex(std::clamp(m_job.toSrgb, 0, 3));
    body()->addWidget(m_to_srgb);
    m_job_options = new JobOptionsBox(m_job, this);
    body()->addWidget(m_job_options);
    connect(m_job_options, &JobOptionsBox::jobLoaded, this, [this] {
        m_gps->setChecked(m_job.removeGps != 0);
        m_dates->setChecked(m_job.removeDates != 0);
        m_pass_thru->setChecked(m_job.passThru != 0);
    });
    body()->addStretch(1);
}

void OtherOptionsPage::storeForBack() {
    m_job.removeGps = m_gps->isChecked() ? 1 : 0;
    m_job.removeDates = m_dates->isChecked() ? 1 : 0;
    m_job.passThru = m_pass_thru->isChecked() ? 1 : 0;
    m_job.fastDecode = m_fast_decode->isChecked() ? 1 : 0;
    m_job.toSrgb = m_to_srgb->currentIndex();
    m_job_options->store();
}

bool OtherOptionsPage::storeForNext() {
    storeForBack(); // START checks the whole job, whatever the pages or a preset left in it
    return true;
}

QString summary_text(const engine::ConversionJob& job) {
    const auto yes_no = [](bool on) { return on ? xlat(u"Yes") : xlat(u"No"); };
    const std::pair<const char16_t*, QString> lines[] = {
        {u"Source", to_q(job.sourceFolder.view())},
        {u"Target", to_q(job.targetFolder.view())},
        {u"Extension", to_q(job.targetExtension.view())},
        {u"Include sub-folders", yes_no(job.includeSubfolders != 0)},
        {u"Overwrite", yes_no(job.overwrite != 0)},
        {u"Rename", yes_no(job.rename != 0)},
        {u"Resize", yes_no(engine::resize_applies(job))},
        {u"Pass-thru", yes_no(job.passThru != 0)},
        {u"Open folder", yes_no(job.openTargetWhenDone != 0)},
        {u"Effects", yes_no(job.rotationMode != 0 || job.autofixLevels != 0)},
        {u"Bits per channel", depth_items().value(job.depth)},
    };
    QString text;
    for (const auto& [label, value] : lines)
        text += xlat(label) + QStringLiteral(" = ") + value + QLatin1Char('\n');
    return text + job_options_summary(job);
}

SummaryPage::SummaryPage(engine::ConversionJob& job, QWidget* owner, std::function<void()> help)
    : WizardPage(8, u"Conversion Summary", job, owner, std::move(help)) {
    auto* text = new QPlainTextEdit(summary_text(m_job), this);
    text->setObjectName(QStringLiteral("summary"));
    text->setReadOnly(true);
    body()->addWidget(text, 1);
}

bool SummaryPage::storeForNext() {
    auto prepared = session::prepare_job(m_job, {}, engine::PrepareMode::run);
    const auto* refusal = std::get_if<engine::JobRefusal>(&prepared);
    if (!refusal) {
        m_prepared = std::move(std::get<engine::PreparedJob>(prepared));
        return true;
    }
    (void)lang::XlatMessageBox(engine::refusal_message(*refusal),
                               refusal->title.empty() ? u"Conversion Summary" : refusal->title,
                               platform::MessageButtons::ok, platform::MessageIcon::none);
    return false;
}

} // namespace vt::app
