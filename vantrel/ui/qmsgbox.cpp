#include "qmsgbox.h"

#include <memory>

#include <QGuiApplication>
#include <QLabel>
#include <QScreen>

#include "logger.h"
#include "quihelper.h"
#include "quiscale.h"
#include "ui_qmsgbox.h"

namespace
{
    // No line break on either side.
    const QChar kJoiner(0x2060);
    // A line may break here.
    const QChar kBreak(0x200B);

    bool isSeparator(QChar c)
    {
        return c == QLatin1Char('/') || c == QLatin1Char('\\');
    }

    // Punctuation that stays with the closing quote before it.
    bool followsQuote(QChar c)
    {
        static const QString marks = QStringLiteral("。，、；：！？）」』.,;:!?)");
        return marks.contains(c);
    }

    // The text as the box shows it: a quoted part ("“…”", a path as a rule, with the
    // punctuation right after it) is kept on one line, and a line may break before its opening
    // quote. With `atSeparators` it may also break after a separator inside, though never
    // between the quote and the first name.
    QString keepQuotesWhole(const QString &text, bool atSeparators)
    {
        QString shown;
        int from = 0;
        while (from < text.size())
        {
            const int open = text.indexOf(QChar(0x201C), from);
            const int close = open < 0 ? -1 : text.indexOf(QChar(0x201D), open + 1);
            if (close < 0 || text.midRef(open, close - open).contains(QLatin1Char('\n')))
            {
                shown += text.midRef(from);
                break;
            }
            shown += text.midRef(from, open - from);
            int end = close + 1;
            while (end < text.size() && followsQuote(text.at(end)))
                ++end;
            if (open > 0 && !text.at(open - 1).isSpace())
                shown += kBreak;
            bool named = false;
            for (int i = open; i < end; ++i)
            {
                const QChar c = text.at(i);
                // Qt breaks after a blank whatever follows it: a blank that does not.
                shown += c == QLatin1Char(' ') ? QChar(QChar::Nbsp) : c;
                if (i + 1 == end)
                    break;
                if (i > open && !isSeparator(c))
                    named = true;
                // Never inside a character: a surrogate pair or a mark that belongs to it.
                if (c.isHighSurrogate() || text.at(i + 1).isMark())
                    continue;
                if (!(atSeparators && named && isSeparator(c)))
                    shown += kJoiner;
            }
            from = end;
        }
        return shown;
    }
}

QMsgBox::QMsgBox(QWidget *parent)
    : QBaseDialog(parent)
    , m_ui(new Ui::QMsgBoxClass)
{
    m_ui->setupUi(this);
    QUIScale::scaleForm(this);
    initFrameless(QStringLiteral(":/qss/msgbox.css"));

    bool ok = connect(m_ui->btnOk, SIGNAL(clicked()), this, SLOT(onOK()));
    ok = connect(m_ui->btnCancel, SIGNAL(clicked()), this, SLOT(onClose())) && ok;
    ok = connect(m_ui->btnClose, SIGNAL(clicked()), this, SLOT(onClose())) && ok;
    if (!ok)
        LOG_ERROR(L"message box: a button could not be connected");
    m_ui->btnOk->setFocus();
}

QMsgBox::~QMsgBox()
{
    delete m_ui;
}

int QMsgBox::showMessage(const QString &text, int type)
{
    auto box = std::make_unique<QMsgBox>(nullptr);
    box->setText(text);
    box->setType(type);
    return box->execInFront();
}

QString QMsgBox::text() const
{
    return m_text;
}

void QMsgBox::setText(const QString &text)
{
    m_text = text;
    QLabel *label = m_ui->labelMsg;
    // Measured with the style sheet's font.
    ensurePolished();
    label->setText(keepQuotesWhole(text, false));
    label->setToolTip(QString());

    // The box grows to the text: wider for a long unbroken word (a path), taller for many
    // lines, up to most of the screen; what still does not fit is the label's tool tip.
    const QRect screen = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->availableGeometry()
                                                          : QRect(0, 0, 1280, 800);
    const int maxWidth = qMax(label->width(), screen.width() * 9 / 10 - (width() - label->width()));
    const int maxHeight = qMax(label->height(), screen.height() * 9 / 10 - (height() - label->height()));
    // A quoted part wider than the box may grow breaks after its separators.
    if (label->minimumSizeHint().width() > maxWidth)
        label->setText(keepQuotesWhole(text, true));
    const int wordWidth = label->minimumSizeHint().width();
    int labelWidth = qBound(label->width(), wordWidth, maxWidth);
    // Too many lines for the screen: wider lines first.
    while (label->heightForWidth(labelWidth) > maxHeight && labelWidth < maxWidth)
        labelWidth = qMin(maxWidth, labelWidth + QUIScale::scale(40));
    const int needHeight = label->heightForWidth(labelWidth);
    const int growWidth = labelWidth - label->width();
    const int growHeight = qBound(0, needHeight - label->height(), maxHeight - label->height());
    if (growWidth > 0 || growHeight > 0)
    {
        label->resize(label->width() + growWidth, label->height() + growHeight);
        m_ui->btnClose->move(m_ui->btnClose->x() + growWidth, m_ui->btnClose->y());
        resize(width() + growWidth, height() + growHeight);
    }
    if (wordWidth > label->width() || needHeight > label->height())
        label->setToolTip(QUiHelper::plainToolTip(text));
}

void QMsgBox::setType(int type)
{
    switch (type)
    {
    case 1:
        m_ui->btnOk->show();
        m_ui->btnCancel->hide();
        break;
    case 2:
        m_ui->btnOk->hide();
        m_ui->btnCancel->show();
        break;
    case 3:
        m_ui->btnOk->show();
        m_ui->btnCancel->show();
        break;
    default:
        break;
    }
}
