#pragma once

#include <windows.h>

// {7C3E9A41-5B2D-4E8F-A6C1-2D94B7E05F13}
inline constexpr GUID CLSID_ZarvoWebcam = {
    0x7c3e9a41, 0x5b2d, 0x4e8f, {0xa6, 0xc1, 0x2d, 0x94, 0xb7, 0xe0, 0x5f, 0x13}};

inline constexpr const wchar_t* kZarvoWebcamName = L"Zarvo Webcam";
