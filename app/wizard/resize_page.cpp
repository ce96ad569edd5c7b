#include "app/wizard/resize_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QScrollBar>
#include <QVBoxLayout>

#include "app/translate.h"

namespace vt::app {
namespace {

const char16_t* const kModes[] = {u"0 - Don't Resize",
                                  u"1 - Smaller than or equal to box",
                                  u"2 - Larger than or equal to box",
                                  u"3 - Best fit inside box",
                                  u"4 - Force same size as box",
                                  u"5 - Resize by percentage"};
const char16_t* const kAlgorithms[] = {u"No Resampling - Fastest but blocky",
                                       u"Balanced Mode - Optimizes quality and speed",
                                       u"High Quality - Good quality but noticably slow",
                                       u"Advanced Resampling - Varies, utilizes multi-core"};
const char16_t* const kFilters[] = {u"Nearest Neighbor / Box",       u"Bilinear (Triangle)",
                                    u"Bicubic Cardinal Spline",      u"Bicubic B-Spline",
                                    u"Bicubic BC-Spline / Mitchell", u"Windowed Sinc"};
const char16_t* const kWindows[] = {
    u"Bartlett", u"Blackman", u"Blackman-Harris", u"Bohman", u"Cosine",      u"Gauss", u"Hamming",
    u"Hann",     u"Kaiser",   u"Lanczos",         u"Parzen", u"Rectangular", u"Welch"};
// The scroll bar's range 4..32 with a page of 4 leaves positions 4..29.
constexpr int kSincMin = 4, kSincPage = 4, kSincMax = 32 - kSincPage + 1;
constexpr int kAdvanced = 3, kWindowedSinc = 5, kRecommendedWindow = 9;

// Selects the first item whose text begins with `number`.
void select_number(QComboBox* list, int number) {
    const QString prefix = QString::number(number);
    for (int i = 0; i < list->count(); ++i)
        if (list->itemText(i).startsWith(prefix)) {
            list->setCurrentIndex(i);
            return;
        }
}

QComboBox* number_list(QWidget* page, const char* name) {
    auto* list = new QComboBox(page);
    list->setObjectName(QLatin1String(name));
    return list;
}

} // namespace

ResizePage::ResizePage(engine::ConversionJob& job, QWidget* owner, std::function<void()> help)
    : WizardPage(5, u"Select Resizing Options", job, owner, std::move(help)) {
    m_mode = number_list(this, "mode");
    for (const char16_t* mode : kModes)
        m_mode->addItem(xlat(mode));
    auto* box_row = new QHBoxLayout;
    m_width = new QLineEdit(QString::number(m_job.resizeWidth), this);
    m_height = new QLineEdit(QString::number(m_job.resizeHeight), this);
    m_width->setObjectName(QStringLiteral("width"));
    m_height->setObjectName(QStringLiteral("height"));
    for (QLineEdit* field : {m_width, m_height}) {
        field->setValidator(new QIntValidator(0, 65535, field));
        field->setMaxLength(5);
    }
    box_row->addWidget(m_mode, 1);
    box_row->addWidget(m_width);
    box_row->addWidget(new QLabel(QStringLiteral("x"), this));
    box_row->addWidget(m_height);
    body()->addLayout(box_row);

    m_keep_box = new QCheckBox(xlat(u"Don't rotate bounding box to match image orientation"), this);
    m_change_dpi = new QCheckBox(xlat(u"Change DPI to retain physical/print size"), this);
    m_keep_box->setObjectName(QStringLiteral("keep_box"));
    m_change_dpi->setObjectName(QStringLiteral("change_dpi"));
    body()->addWidget(m_keep_box);
    body()->addWidget(m_change_dpi);
    for (int i = 0; i < 4; ++i) {
        m_algorithms[i] = new QRadioButton(xlat(kAlgorithms[i]), this);
        m_algorithms[i]->setObjectName(QStringLiteral("algorithm%1").arg(i));
        body()->addWidget(m_algorithms[i]);
    }

    m_filter = number_list(this, "filter");
    for (int i = 0; i < 6; ++i)
        m_filter->addItem(QStringLiteral("%1 - %2%3")
                              .arg(i)
                              .arg(xlat(kFilters[i]))
                              .arg(i == 0               ? xlat(u" (Worst)")
                                   : i == kWindowedSinc ? xlat(u" (Best)")
                                                        : QString()));
    m_window = number_list(this, "window");
    for (int i = 0; i < 13; ++i)
        m_window->addItem(QStringLiteral("%1 - %2%3")
                              .arg(i)
                              .arg(xlat(kWindows[i]) + xlat(u" Window"))
                              .arg(i == kRecommendedWindow ? xlat(u" (Recommended)") : QString()));
    auto* advanced = new QGridLayout;
    advanced->setContentsMargins(20, 0, 0, 0);
    advanced->addWidget(m_filter, 0, 0, 1, 2);
    advanced->addWidget(m_window, 1, 0, 1, 2);
    m_sinc = new QScrollBar(Qt::Horizontal, this);
    m_sinc->setObjectName(QStringLiteral("sinc_size"));
    m_sinc->setRange(kSincMin, kSincMax);
    m_sinc->setPageStep(kSincPage);
    m_sinc->setSingleStep(1);
    m_sinc_label = new QLabel(this);
    m_sinc_label->setObjectName(QStringLiteral("sinc_label"));
    m_sinc_label->setMinimumWidth(m_sinc_label->fontMetrics().horizontalAdvance(
        fill_numbers(xlat(u"Size: %i × %i"), {29, 29})));
    advanced->addWidget(m_sinc, 2, 0);
    advanced->addWidget(m_sinc_label, 2, 1);
    advanced->setColumnStretch(0, 1);
    body()->addLayout(advanced);
    body()->addStretch(1);

    connect(m_sinc, &QScrollBar::valueChanged, this, [this](int v) {
        m_sinc_label->setText(fill_numbers(xlat(u"Size: %i × %i"), {v, v}));
    });
    select_number(m_mode, m_job.resizeMode);
    select_number(m_filter, m_job.scalingFilter);
    select_number(m_window, m_job.sincWindow);
    m_algorithms[std::clamp(m_job.resizeAlgorithm, 0, 3)]->setChecked(true);
    m_keep_box->setChecked(m_job.keepBoundingBox != 0);
    m_change_dpi->setChecked(m_job.changeDpi != 0);
    m_sinc->setValue(kSincMax); // so that the next value always changes the label
    m_sinc->setValue(m_job.sincSize < kSincMin ? kSincMin : m_job.sincSize);
    enableControls();
    for (QComboBox* list : {m_mode, m_filter})
        connect(list, &QComboBox::currentIndexChanged, this, &ResizePage::enableControls);
    for (QRadioButton* r : m_algorithms)
        connect(r, &QRadioButton::toggled, this, &ResizePage::enableControls);
}

int ResizePage::algorithm() const {
    for (int i = 0; i < 4; ++i)
        if (m_algorithms[i]->isChecked())
            return i;
    return 0;
}

void ResizePage::enableControls() {
    const bool box = leading_number(m_mode->currentText()) > 0;
    m_width->setEnabled(box);
    m_height->setEnabled(box);
    const bool advanced = algorithm() == kAdvanced;
    const bool sinc = advanced && leading_number(m_filter->currentText()) == kWindowedSinc;
    m_filter->setEnabled(advanced);
    m_window->setEnabled(sinc);
    m_sinc->setEnabled(sinc);
    m_sinc_label->setEnabled(sinc);
}

void ResizePage::storeForBack() {
    m_job.resizeMode = leading_number(m_mode->currentText());
    m_job.resizeWidth =
        static_cast<std::uint16_t>(std::min(leading_number(m_width->text()), 65535));
    m_job.resizeHeight =
        static_cast<std::uint16_t>(std::min(leading_number(m_height->text()), 65535));
    m_job.scalingFilter = leading_number(m_filter->currentText());
    m_job.sincWindow = leading_number(m_window->currentText());
    m_job.sincSize = m_sinc->value();
    m_job.resizeAlgorithm = algorithm();
    m_job.keepBoundingBox = m_keep_box->isChecked() ? 1 : 0;
    m_job.changeDpi = m_change_dpi->isChecked() ? 1 : 0;
}

bool ResizePage::storeForNext() {
    storeForBack();
    const auto refusal = engine::check_resizing(m_job);
    return refusal ? refuse(refusal) : true;
}

} // namespace vt::app
