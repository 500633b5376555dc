// trivial: the start-up floor. A Win32 GUI program that does the least the agent must also do
// before its first request: start, create a window, open a socket and connect. Connecting to
// 127.0.0.1:PORT is its signal; it sends one byte and exits.
//
//   trivial PORT
#include <winsock2.h>

#include <windows.h>

#include <cstdlib>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    const int port = atoi(commandLine);
    if (port <= 0) return 2;
    WNDCLASSA type = {};
    type.lpfnWndProc = DefWindowProcA;
    type.hInstance = instance;
    type.lpszClassName = "VornaBenchTrivial";
    RegisterClassA(&type);
    HWND window = CreateWindowA("VornaBenchTrivial", "trivial", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                                nullptr, nullptr, instance, nullptr);
    if (!window) return 1;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 1;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = inet_addr("127.0.0.1");
    to.sin_port = htons(static_cast<u_short>(port));
    int result = connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
                         send(s, "!", 1, 0) == 1
                     ? 0
                     : 1;
    closesocket(s);
    WSACleanup();
    DestroyWindow(window);
    return result;
}
