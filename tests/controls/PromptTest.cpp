#include "Prompt.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QProxyStyle>
#include <QStyleFactory>
#include <functional>
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

// Hands every message box that shows to `seen`, in the box's own event loop before any timer runs
// there: the test support's guard against unexpected boxes polls on a timer.
class OnEveryBox : public QObject
{
public:
    explicit OnEveryBox(std::function<void(QMessageBox*)> seen) : m_seen(std::move(seen))
    {
        QApplication::instance()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* object, QEvent* event) override
    {
        auto* box = qobject_cast<QMessageBox*>(object);
        if (box != nullptr && event->type() == QEvent::Show)
            QMetaObject::invokeMethod(
                box, [this, box] { m_seen(box); }, Qt::QueuedConnection);
        return false;
    }

private:
    std::function<void(QMessageBox*)> m_seen;
};

// What the user sees in the box is checked while it is up; the box is then dismissed with its
// button, as a user would. A button that did not close it would leave the box to the guard.
TEST(Prompt, OneButtonReadingQueDingWithoutAnIconAndTheBusyCursorLiftedWhileUp)
{
    const QString style = QApplication::style()->name();
    QApplication::setStyle(new IconsOnButtons);
    QWidget owner;
    const struct
    {
        const char* name;
        int busyCursors; // override cursors in force when the box opens
        QWidget* owner;
    } cases[] = {{"without_owner", 0, nullptr},
                 {"over_a_busy_cursor", 1, &owner},
                 {"over_two_busy_cursors", 2, &owner}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (int i = 0; i < c.busyCursors; ++i)
            QApplication::setOverrideCursor(Qt::WaitCursor);
        int boxes = 0;
        const OnEveryBox onEveryBox([&](QMessageBox* box) {
            ++boxes;
            EXPECT_TRUE(box->isVisible());
            EXPECT_EQ(box->windowTitle(), u"提示"_qs);
            EXPECT_EQ(box->text(), u"服务器网络不通，请与管理员联系！"_qs);
            EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
            EXPECT_EQ(box->parentWidget(), c.owner);
            EXPECT_TRUE(box->isModal());
            EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "the busy cursor is lifted";
            ASSERT_EQ(box->buttons().size(), 1);
            EXPECT_EQ(box->buttons().first()->text(), u"确定"_qs);
            EXPECT_TRUE(box->buttons().first()->icon().isNull());
            box->buttons().first()->click();
        });
        ShowPrompt(c.owner, u"服务器网络不通，请与管理员联系！"_qs);
        EXPECT_EQ(boxes, 1);

        int restored = 0;
        for (; QApplication::overrideCursor() != nullptr && restored < 10; ++restored)
            QApplication::restoreOverrideCursor();
        EXPECT_EQ(restored, c.busyCursors) << "the busy cursors come back as they were";
    }
    QApplication::setStyle(style);
}

} // namespace
