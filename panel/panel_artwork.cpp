#include "panel_artwork.h"

#include "panel_resources.h"

#include "gdiplus_include.h"

#include <cstring>

namespace {

// The PNG resource as a GDI+ bitmap: copied into a movable global block
// (the stream wants one), read through a stream that does not own the block.
// Null when anything fails; the caller deletes the bitmap.
Gdiplus::Bitmap* LoadPngResource(HINSTANCE instance, UINT id)
{
    HRSRC resource = FindResourceA(instance, MAKEINTRESOURCEA(id), "PNG");
    DWORD size = resource ? SizeofResource(instance, resource) : 0;
    const void* bytes = size ? LockResource(LoadResource(instance, resource)) : nullptr;
    if (!bytes) {
        return nullptr;
    }
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    if (!block) {
        return nullptr;
    }
    Gdiplus::Bitmap* bitmap = nullptr;
    if (void* target = GlobalLock(block)) {
        std::memcpy(target, bytes, size);
        GlobalUnlock(block);
        IStream* stream = nullptr;
        if (CreateStreamOnHGlobal(block, FALSE, &stream) == S_OK) {
            bitmap = Gdiplus::Bitmap::FromStream(stream);
            stream->Release();
            if (bitmap && bitmap->GetLastStatus() != Gdiplus::Ok) {
                delete bitmap;
                bitmap = nullptr;
            }
        }
    }
    GlobalFree(block);
    return bitmap;
}

// The screen's scale against 96 dpi: the pictures are drawn for 100 %.
double Scale(HDC dc)
{
    const int dpi = GetDeviceCaps(dc, LOGPIXELSX);
    return dpi > 0 ? dpi / 96.0 : 1.0;
}

}  // namespace

void DrawLogo(const DRAWITEMSTRUCT* item, HINSTANCE instance)
{
    FillRect(item->hDC, &item->rcItem, GetSysColorBrush(COLOR_BTNFACE));
    Gdiplus::Bitmap* logo = LoadPngResource(instance, IDB_LOGO_PNG);
    if (!logo) {
        return;
    }
    // Drawn at the screen's scale (150 % at 144 dpi), as the dialog's
    // controls are.
    const double scale = Scale(item->hDC);
    Gdiplus::Graphics graphics(item->hDC);
    graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    graphics.DrawImage(logo, static_cast<INT>(item->rcItem.left), static_cast<INT>(item->rcItem.top),
                       static_cast<INT>(logo->GetWidth() * scale), static_cast<INT>(logo->GetHeight() * scale));
    delete logo;
}

void DrawWebButton(const DRAWITEMSTRUCT* item, HINSTANCE instance)
{
    FillRect(item->hDC, &item->rcItem, GetSysColorBrush(COLOR_BTNFACE));
    HBITMAP picture = static_cast<HBITMAP>(LoadImageA(instance, MAKEINTRESOURCEA(IDB_WEB_LINK), IMAGE_BITMAP, 0, 0, 0));
    if (picture) {
        BITMAP info{};
        GetObjectA(picture, sizeof info, &info);
        HDC source = CreateCompatibleDC(item->hDC);
        HGDIOBJ previous = SelectObject(source, picture);
        const int width = item->rcItem.right - item->rcItem.left;
        const int height = item->rcItem.bottom - item->rcItem.top;
        const double scale = Scale(item->hDC);
        const int pictureWidth = static_cast<int>(info.bmWidth * scale);
        const int pictureHeight = static_cast<int>(info.bmHeight * scale);
        // Pressed: one pixel down and right, as a flat button does.
        const int shift = (item->itemState & ODS_SELECTED) ? 1 : 0;
        SetStretchBltMode(item->hDC, HALFTONE);
        StretchBlt(item->hDC, item->rcItem.left + (width - pictureWidth) / 2 + shift,
                   item->rcItem.top + (height - pictureHeight) / 2 + shift, pictureWidth, pictureHeight, source, 0, 0,
                   info.bmWidth, info.bmHeight, SRCCOPY);
        SelectObject(source, previous);
        DeleteDC(source);
        DeleteObject(picture);
    }
    if (item->itemState & ODS_FOCUS) {
        RECT focus = item->rcItem;
        InflateRect(&focus, -1, -1);
        DrawFocusRect(item->hDC, &focus);
    }
}

void DrawMinimisedIcon(HWND window, HICON icon)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    SendMessageA(window, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    GetClientRect(window, &client);
    const int cx = GetSystemMetrics(SM_CXICON);
    const int cy = GetSystemMetrics(SM_CYICON);
    DrawIcon(dc, (client.right - client.left - cx + 1) / 2, (client.bottom - client.top - cy + 1) / 2, icon);
    EndPaint(window, &paint);
}
