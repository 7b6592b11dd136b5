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

// What the user sees in the box, read while it is up; the box is then dismissed with its button,
// as a user would.
struct Seen
{
    QString title;
    QString text;
    QStringList buttons;
    bool hasIcon = true;
    bool buttonHasIcon = true;
    QWidget* owner = nullptr;
    bool cursorLifted = false;
    bool modal = false;
};

TEST_P(Prompt, OneButtonReadingQueDingWithoutAnIconAndTheBusyCursorLiftedWhileUp)
{
    const PromptCase& c = GetParam();
    const QString style = QApplication::style()->name();
    QApplication::setStyle(new IconsOnButtons);
    QWidget owner;
    for (int i = 0; i < c.busyCursors; ++i)
        QApplication::setOverrideCursor(Qt::WaitCursor);

    std::vector<Seen> seen;
    QElapsedTimer clock;
    clock.start();
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, &poll, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            if (box == nullptr || !box->isVisible())
                continue;
            Seen s;
            s.title = box->windowTitle();
            s.text = box->text();
            s.buttonHasIcon = false;
            for (QAbstractButton* button : box->buttons()) {
                s.buttons << button->text();
                s.buttonHasIcon = s.buttonHasIcon || !button->icon().isNull();
            }
            s.hasIcon = box->icon() != QMessageBox::NoIcon;
            s.owner = box->parentWidget();
            s.cursorLifted = QApplication::overrideCursor() == nullptr;
            s.modal = box->isModal();
            seen.push_back(s);
            if (!box->buttons().isEmpty())
                box->buttons().first()->click();
            if (box->isVisible() && clock.elapsed() > 5000)
                box->done(0); // the button did not close it: do not hang the test
        }
    });
    poll.start();
    ShowPrompt(c.withOwner ? &owner : nullptr, u"服务器网络不通，请与管理员联系！"_qs);
    poll.stop();

    ASSERT_EQ(seen.size(), 1u) << "one box, closed by its one button";
    EXPECT_EQ(seen[0].title, u"提示"_qs);
    EXPECT_EQ(seen[0].text, u"服务器网络不通，请与管理员联系！"_qs);
    EXPECT_EQ(seen[0].buttons, QStringList{u"确定"_qs});
    EXPECT_FALSE(seen[0].hasIcon);
    EXPECT_FALSE(seen[0].buttonHasIcon);
    EXPECT_EQ(seen[0].owner, c.withOwner ? &owner : nullptr);
    EXPECT_TRUE(seen[0].modal);
    EXPECT_TRUE(seen[0].cursorLifted);

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
