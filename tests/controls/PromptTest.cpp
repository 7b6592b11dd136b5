#include "Prompt.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

// The styles of desktops on X11 put an icon on every standard button of a box; the headless
// platform the tests run on does not, unless asked.
class IconsOnButtons : public QProxyStyle
{
public:
    IconsOnButtons() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {}
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returned) const override
    {
        if (hint == SH_DialogButtonBox_ButtonsHaveIcons)
            return 1;
        return QProxyStyle::styleHint(hint, option, widget, returned);
    }
};

struct PromptCase
{
    const char* name;
    int busyCursors; // override cursors in force when the box opens
    bool withOwner;
};

void PrintTo(const PromptCase& c, std::ostream* os)
{
    *os << c.name;
}

class Prompt : public ::testing::TestWithParam<PromptCase>
{};

// What the user sees in the box is checked while it is up; the box is then dismissed with its
// button, as a user would.
TEST_P(Prompt, OneButtonReadingQueDingWithoutAnIconAndTheBusyCursorLiftedWhileUp)
{
    const PromptCase& c = GetParam();
    const QString style = QApplication::style()->name();
    QApplication::setStyle(new IconsOnButtons);
    QWidget owner;
    for (int i = 0; i < c.busyCursors; ++i)
        QApplication::setOverrideCursor(Qt::WaitCursor);

    int boxes = 0;
    QElapsedTimer clock;
    clock.start();
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, &poll, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            if (box == nullptr || !box->isVisible())
                continue;
            ++boxes;
            EXPECT_EQ(box->windowTitle(), u"提示"_qs);
            EXPECT_EQ(box->text(), u"服务器网络不通，请与管理员联系！"_qs);
            EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
            EXPECT_EQ(box->parentWidget(), c.withOwner ? &owner : nullptr);
            EXPECT_TRUE(box->isModal());
            EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "the busy cursor is lifted";
            EXPECT_EQ(box->buttons().size(), 1);
            for (QAbstractButton* button : box->buttons()) {
                EXPECT_EQ(button->text(), u"确定"_qs);
                EXPECT_TRUE(button->icon().isNull());
            }
            if (!box->buttons().isEmpty())
                box->buttons().first()->click();
            if (box->isVisible() && clock.elapsed() > 5000)
                box->done(0); // the button did not close it: do not hang the test
        }
    });
    poll.start();
    ShowPrompt(c.withOwner ? &owner : nullptr, u"服务器网络不通，请与管理员联系！"_qs);
    poll.stop();
    EXPECT_EQ(boxes, 1) << "one box, closed by its one button";

    int restored = 0;
    for (; QApplication::overrideCursor() != nullptr && restored < 10; ++restored)
        QApplication::restoreOverrideCursor();
    EXPECT_EQ(restored, c.busyCursors) << "the busy cursors come back as they were";
    QApplication::setStyle(style);
}

INSTANTIATE_TEST_SUITE_P(Boxes, Prompt,
                         ::testing::Values(PromptCase{"owned", 0, true},
                                           PromptCase{"without_owner", 0, false},
                                           PromptCase{"over_a_busy_cursor", 1, true},
                                           PromptCase{"over_two_busy_cursors", 2, true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
