"""The driver against its practice target: every action must arrive as a user's or Windows'
would, and every reading must match what the target really shows. The target writes one line
per thing done to it, which is what these tests compare with."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))

from vorna_e2e import runner, ui  # noqa: E402
from vorna_e2e.poll import expect, expect_eq, poll  # noqa: E402
from vorna_e2e.wine import required_path  # noqa: E402

CAPTION = "Окно проверки"
BOX_CAPTION = "Сообщение проверки"
IDC_NAME, IDC_SECRET, IDC_FLAG, IDC_GO, IDC_HIDE = 101, 102, 103, 104, 105
IDM_FIRST, IDM_SECOND, IDM_BOX, IDM_QUIT = 201, 202, 203, 204
IDCANCEL = 2
WM_CLOSE = 0x0010


def start_standin(ctx, *args):
    target = ctx.start_agent(*args, exe=required_path("VORNA_STANDIN_EXE"))
    if not args:
        ctx.driver.wait_window(CAPTION, visible=1)
        target.wait_line("tray-add")
    return target


def test_typed_text_reaches_the_control_as_cp1251(ctx):
    target = start_standin(ctx)
    cases = [("latin", "ivanov"), ("cyrillic", "Иван Петров"), ("yo and numero", "Ёё№")]
    for name, text in cases:
        ctx.driver("set-text", caption=CAPTION, id=IDC_NAME, text="")
        ctx.driver("type", caption=CAPTION, id=IDC_NAME, text=text)
        ctx.driver.wait_text(CAPTION, IDC_NAME, text)
        ctx.driver("click", caption=CAPTION, id=IDC_GO)
        want = "name-hex " + text.encode("cp1251").hex().upper()
        poll(lambda: target.lines().count(want) == 1, 5, f"{name}: the target to read {text!r}")


def test_password_field_gets_one_char_message_per_typed_character(ctx):
    target = start_standin(ctx)
    ctx.driver("type", caption=CAPTION, id=IDC_SECRET, text="aЖ")

    def typed():
        return [line for line in target.lines() if line.startswith("secret-char")]
    got = poll(lambda: len(typed()) >= 2 and typed(), 5, "two characters in the password field")
    expect_eq(got, ["secret-char 97", "secret-char 198"], "WM_CHAR in typing order")


def test_check_clicks_only_when_the_state_differs(ctx):
    target = start_standin(ctx)
    for wanted in (1, 1, 0):
        r = ctx.driver("check", caption=CAPTION, id=IDC_FLAG, state=wanted)
        expect(r.ok and r["checked"] == str(wanted), f"check {wanted}: {r!r}")
        expect_eq(ctx.driver("get-check", caption=CAPTION, id=IDC_FLAG)["checked"],
                  str(wanted), "state read back")
    # Two changes, two clicks: asking for the state it already had clicks nothing.
    click = f"command {IDC_FLAG} 0"
    poll(lambda: target.lines().count(click) >= 2, 5, "two clicks on the check box")
    expect_eq(target.lines().count(click), 2, "clicks on the check box")


def test_keys_go_to_the_focused_control_through_the_dialog(ctx):
    target = start_standin(ctx)
    cases = [  # (key, command the dialog gets)
        ("Enter gives the default button", ui.VK_RETURN, f"command {IDC_GO} 0"),
        ("Escape gives IDCANCEL", ui.VK_ESCAPE, f"command {IDCANCEL} 0"),
    ]
    for name, vk, want in cases:
        r = ctx.driver("key", caption=CAPTION, vk=vk)
        expect_eq(r["target_id"], str(IDC_NAME), f"{name}: focused control")
        poll(lambda: want in target.lines(), 5, name)
    ctx.driver("key", caption=CAPTION, vk=ui.VK_TAB)
    poll(lambda: ctx.driver("focus", caption=CAPTION).get("focus_id") == str(IDC_SECRET), 5,
         "Tab to move the focus to the next control")


def test_menu_items_are_read_with_their_states(ctx):
    start_standin(ctx)
    ctx.driver("tray-message", caption=CAPTION, lparam=ui.WM_RBUTTONDOWN)
    r = ctx.driver("menu", caption=CAPTION, close=1)
    expect(r.ok, f"menu: {r!r}")
    got = [(i["id"], i["text"], i["separator"], i["checked"], i["grayed"])
           for i in r.menu_items() if not i["separator"]]
    expect_eq(got, [(IDM_FIRST, "Первый", False, True, False),
                    (IDM_SECOND, "Второй", False, False, True),
                    (IDM_BOX, "Сообщение", False, False, False),
                    (IDM_QUIT, "Выход", False, False, False)], "menu items")
    expect_eq(sum(i["separator"] for i in r.menu_items()), 2, "separators")
    expect_eq(r["closed"], "1", "menu closed by Escape")


def test_menu_choice_sends_the_command_and_refuses_greyed_items(ctx):
    target = start_standin(ctx)
    ctx.driver("tray-message", caption=CAPTION, lparam=ui.WM_RBUTTONDOWN)
    refused = ctx.driver("menu-choose", caption=CAPTION, id=IDM_SECOND)
    expect(not refused.ok and refused["grayed"] == "1", f"greyed item chosen: {refused!r}")
    poll(lambda: target.lines().count("menu-closed 1") == 1, 5, "the menu to close")
    ctx.driver("tray-message", caption=CAPTION, lparam=ui.WM_LBUTTONDOWN)
    expect(ctx.driver("menu-choose", caption=CAPTION, id=IDM_FIRST).ok, "choose first")
    poll(lambda: f"command {IDM_FIRST} 0" in target.lines(), 5, "the chosen command")
    expect(f"command {IDM_SECOND} 0" not in target.lines(), "greyed item's command arrived")


def test_box_text_icon_and_owner_are_reported(ctx):
    cases = [  # (name, start args, open, text, icon, owner caption)
        ("owned warning", (), True, "Текст сообщения", "warning", CAPTION),
        ("unowned error before any window", ("--box-first",), False, "Первое сообщение",
         "error", None),
    ]
    for name, args, open_menu, text, icon, owner in cases:
        target = start_standin(ctx, *args)
        if open_menu:
            ctx.driver("tray-message", caption=CAPTION, lparam=ui.WM_RBUTTONDOWN)
            ctx.driver("menu-choose", caption=CAPTION, id=IDM_BOX)
        box = ctx.driver.box(BOX_CAPTION)
        expect_eq((box["text"], box["icon"], box.get("owner_caption")), (text, icon, owner), name)
        expect_eq(box["owned"], "1" if owner else "0", f"{name}: owned")
        ctx.driver.press_box(BOX_CAPTION)
        expect(ctx.driver.no_box(BOX_CAPTION), f"{name}: box still there")
        target.kill()


def test_sent_messages_report_the_answer(ctx):
    target = start_standin(ctx)
    r = ctx.driver("send", caption=CAPTION, msg=ui.WM_QUERYENDSESSION)
    # The target does not handle it; the dialog default says the session may end.
    expect_eq((r["answered"], r["result"]), ("1", "1"), "WM_QUERYENDSESSION answer")
    expect("query-end-session 1" in target.lines(), "sent message handled before the answer")
    r = ctx.driver("broadcast-taskbar-created")
    expect(r.ok, f"broadcast: {r!r}")
    poll(lambda: any(l.startswith("taskbar-created") for l in target.lines()), 5,
         "TaskbarCreated at the hidden-or-shown dialog")


def test_visibility_is_seen_and_hidden_windows_are_still_found(ctx):
    target = start_standin(ctx)
    ctx.driver("click", caption=CAPTION, id=IDC_HIDE)
    ctx.driver.wait_window(CAPTION, visible=0)
    expect(not ctx.driver.visible(CAPTION), "hidden window reported visible")
    ctx.driver("post", caption=CAPTION, msg=WM_CLOSE)
    poll(lambda: "close 1" in target.lines(), 5, "WM_CLOSE at the target")


def test_missing_things_fail_within_their_deadline(ctx):
    start_standin(ctx)
    cases = [
        ("no such window", "wait-window", dict(caption="Нет такого окна", timeout=300)),
        ("no such box", "find-box", dict(caption="Нет такого окна", timeout=300)),
        ("no such control", "get-text", dict(caption=CAPTION, id=4242)),
        ("no menu shown", "menu", dict(caption=CAPTION, timeout=300)),
        ("shown window never hides", "wait-window", dict(caption=CAPTION, visible=0,
                                                           timeout=300)),
    ]
    for name, command, options in cases:
        r = ctx.driver(command, **options)
        expect_eq(r.code, 1, f"{name}: exit code ({r!r})")


def test_tray_icon_exists_and_quit_code_comes_back(ctx):
    target = start_standin(ctx)
    # The harness's desktop has a notification area: the target's NIM_ADD succeeded.
    expect("tray-add 1" in target.lines(), f"tray icon not added: {target.lines()}")
    ctx.driver("command", caption=CAPTION, id=IDM_QUIT)
    expect_eq(target.wait_exit(10), 3, "exit code")


if __name__ == "__main__":
    runner.run([
        test_typed_text_reaches_the_control_as_cp1251,
        test_password_field_gets_one_char_message_per_typed_character,
        test_check_clicks_only_when_the_state_differs,
        test_keys_go_to_the_focused_control_through_the_dialog,
        test_menu_items_are_read_with_their_states,
        test_menu_choice_sends_the_command_and_refuses_greyed_items,
        test_box_text_icon_and_owner_are_reported,
        test_sent_messages_report_the_answer,
        test_visibility_is_seen_and_hidden_windows_are_still_found,
        test_missing_things_fail_within_their_deadline,
        test_tray_icon_exists_and_quit_code_comes_back,
    ], need_agent=False)
