#include <gtest/gtest.h>

#include "app/AnimWnd.h"
#include "platform/Application.h"

namespace {

class TPlainForm : public TForm {
public:
    explicit TPlainForm(TComponent* AOwner) : TForm(AOwner)
    {
        SetBounds(40, 50, 200, 100);
        Am = Make<TAnimateWindow>();
    }
    TAnimateWindow* Am;
};

} // namespace

TEST(AnimateWindow, OneAnimatorPerFormAndEventsFromTheApplication)
{
    TApplication app;
    auto* form = CreateForm<TPlainForm>();
    auto* am = form->Am;
    try {
        form->Make<TAnimateWindow>();
        FAIL() << "second animator accepted";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "AnimateWindowはフォームに一つしか置けません");
    }
    // A second form may have its own.
    auto* other = CreateForm<TPlainForm>();
    EXPECT_NE(other->Am, nullptr);

    std::vector<std::pair<std::string, TObject*>> events;
    am->OnMinimize = [&](TObject* s) { events.emplace_back("min", s); };
    am->OnRestore = [&](TObject* s) { events.emplace_back("restore", s); };
    form->Show();
    RECT before{};
    GetWindowRect(form->Handle(), &before);

    am->Minimize();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], std::make_pair(std::string("min"), static_cast<TObject*>(&app)));
    EXPECT_TRUE(IsIconic(form->Handle()));
    EXPECT_TRUE(IsIconic(app.Handle()));

    // The window manager brings the form back: the form's window sees a
    // position change that neither moves nor sizes it.
    SetWindowPos(form->Handle(), nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE);
    app.DrainQueue();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1], std::make_pair(std::string("restore"), static_cast<TObject*>(&app)));
    EXPECT_FALSE(IsIconic(form->Handle()));
    EXPECT_FALSE(IsIconic(app.Handle()));
    RECT after{};
    GetWindowRect(form->Handle(), &after);
    EXPECT_EQ(after.left, before.left);
    EXPECT_EQ(after.top, before.top);
    EXPECT_EQ(after.right, before.right);
    EXPECT_EQ(after.bottom, before.bottom);

    // Minimising another form goes through the application window.
    events.clear();
    SendMessage(other->Handle(), WM_SYSCOMMAND, SC_MINIMIZE, 0);
    app.DrainQueue();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].first, "min");
}

TEST(AnimateWindow, AnOwnerThatIsNotAFormCannotMinimize)
{
    TApplication app;
    TComponent owner(nullptr);
    auto* am = owner.Make<TAnimateWindow>();
    EXPECT_THROW(am->Minimize(), EInvalidCast);

    // A windowed control that is not a form fails when the form procedure
    // would be installed, every time.
    TWinControl control(nullptr);
    EXPECT_THROW(control.Make<TAnimateWindow>(), EInvalidCast);
    EXPECT_THROW(control.Make<TAnimateWindow>(), EInvalidCast);
}
