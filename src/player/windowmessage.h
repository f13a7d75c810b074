#pragma once

// Input of the video window, reported through APlayerControl::onMessage with
// the numbers of the classic window messages so that receivers can switch on
// them. Mouse messages carry x in the low and y in the high 16 bits of lParam.
namespace WindowMessage {
constexpr int KeyDown = 0x0100;
constexpr int MouseMove = 0x0200;
constexpr int LeftButtonDown = 0x0201;
constexpr int LeftButtonUp = 0x0202;
constexpr int LeftButtonDoubleClick = 0x0203;
constexpr int RightButtonUp = 0x0205;
constexpr int MouseHover = 0x02A1;

// Button and modifier flags of the wParam of mouse messages.
constexpr int LeftButtonFlag = 0x0001;
constexpr int RightButtonFlag = 0x0002;
constexpr int ShiftFlag = 0x0004;
constexpr int ControlFlag = 0x0008;
constexpr int MiddleButtonFlag = 0x0010;

inline int pointParam(int x, int y)
{
    return int((unsigned(y) & 0xFFFFu) << 16 | (unsigned(x) & 0xFFFFu));
}
inline int pointX(int lParam)
{
    return int(unsigned(lParam) & 0xFFFFu);
}
inline int pointY(int lParam)
{
    return int((unsigned(lParam) >> 16) & 0xFFFFu);
}
} // namespace WindowMessage

// Virtual key codes carried in the wParam of KeyDown.
namespace VirtualKey {
constexpr int Back = 0x08;
constexpr int Tab = 0x09;
constexpr int Return = 0x0D;
constexpr int Escape = 0x1B;
constexpr int Space = 0x20;
constexpr int PageUp = 0x21;
constexpr int PageDown = 0x22;
constexpr int End = 0x23;
constexpr int Home = 0x24;
constexpr int Left = 0x25;
constexpr int Up = 0x26;
constexpr int Right = 0x27;
constexpr int Down = 0x28;
constexpr int Delete = 0x2E;
} // namespace VirtualKey
