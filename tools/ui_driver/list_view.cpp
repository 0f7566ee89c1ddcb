// List views of another process: an LVITEM and its text buffer are placed in that process's
// memory (VirtualAllocEx), since the list view reads and writes them where it runs.
#include <windows.h>
#include <commctrl.h>

#include "common/console.h"
#include "tools/ui_driver/driver.h"

namespace {

constexpr size_t text_cch = 1024;

// A block in the list view's process, freed with it.
class RemoteBlock {
public:
    RemoteBlock(HWND window, size_t cb) : cb_(cb) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
        if (process_) address_ = VirtualAllocEx(process_, nullptr, cb, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }
    ~RemoteBlock() {
        if (address_) VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
        if (process_) CloseHandle(process_);
    }
    RemoteBlock(const RemoteBlock&) = delete;
    RemoteBlock& operator=(const RemoteBlock&) = delete;
    bool valid() const { return address_ != nullptr; }
    char* at(size_t offset) const { return static_cast<char*>(address_) + offset; }
    bool write(size_t offset, const void* data, size_t cb) const {
        SIZE_T done = 0;
        return WriteProcessMemory(process_, at(offset), data, cb, &done) && done == cb;
    }
    bool read(size_t offset, void* data, size_t cb) const {
        SIZE_T done = 0;
        return ReadProcessMemory(process_, at(offset), data, cb, &done) && done == cb;
    }

private:
    HANDLE process_ = nullptr;
    void* address_ = nullptr;
    size_t cb_;
};

bool item_text(HWND list, const RemoteBlock& block, int row, int column, wchar_t* text) {
    LVITEMW item = {};
    item.iSubItem = column;
    item.cchTextMax = text_cch;
    item.pszText = reinterpret_cast<wchar_t*>(block.at(sizeof item));
    text[0] = 0;
    if (!block.write(0, &item, sizeof item)) return false;
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(block.at(0)), SMTO_NORMAL,
                             send_timeout_ms, &copied))
        return false;
    if (!block.read(sizeof item, text, text_cch * sizeof(wchar_t))) return false;
    text[text_cch - 1] = 0;
    return true;
}

int column_count(HWND list) {
    DWORD_PTR header = 0, count = 0;
    SendMessageTimeoutW(list, LVM_GETHEADER, 0, 0, SMTO_NORMAL, send_timeout_ms, &header);
    if (!header) return 1;
    SendMessageTimeoutW(reinterpret_cast<HWND>(header), HDM_GETITEMCOUNT, 0, 0, SMTO_NORMAL, send_timeout_ms, &count);
    return static_cast<int>(count);
}

int item_count(HWND list) {
    DWORD_PTR count = 0;
    SendMessageTimeoutW(list, LVM_GETITEMCOUNT, 0, 0, SMTO_NORMAL, send_timeout_ms, &count);
    return static_cast<int>(count);
}

}  // namespace

int print_rows(HWND list) {
    RemoteBlock block(list, sizeof(LVITEMW) + text_cch * sizeof(wchar_t));
    if (!block.valid()) return 1;
    int rows = item_count(list), columns = column_count(list);
    for (int row = 0; row < rows; ++row) {
        DWORD_PTR state = 0;
        SendMessageTimeoutW(list, LVM_GETITEMSTATE, row, LVIS_SELECTED, SMTO_NORMAL, send_timeout_ms, &state);
        console_print(L"%d\t%d", row, (state & LVIS_SELECTED) ? 1 : 0);
        for (int column = 0; column < columns; ++column) {
            wchar_t text[text_cch];
            item_text(list, block, row, column, text);
            console_print(L"\t%s", text);
        }
        console_print(L"\n");
    }
    return 0;
}

int select_row(HWND list, int row) {
    RemoteBlock block(list, sizeof(LVITEMW));
    if (!block.valid()) return 1;
    LVITEMW item = {};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = row >= 0 ? LVIS_SELECTED | LVIS_FOCUSED : 0;
    if (row >= 0) {
        // Only the one row: clear the others first.
        LVITEMW none = {};
        none.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
        if (!block.write(0, &none, sizeof none) || !send(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
                                                          reinterpret_cast<LPARAM>(block.at(0))))
            return 1;
    }
    if (!block.write(0, &item, sizeof item)) return 1;
    return send(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(block.at(0))) ? 0 : 1;
}

// Selects the row, then double-clicks its middle. Posted: the console opens a window for it.
int double_click_row(HWND list, int row) {
    if (select_row(list, row) != 0) return 1;
    RemoteBlock block(list, sizeof(RECT));
    if (!block.valid()) return 1;
    RECT r = {};
    r.left = LVIR_BOUNDS;
    DWORD_PTR ok = 0;
    if (!block.write(0, &r, sizeof r) ||
        !SendMessageTimeoutW(list, LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(block.at(0)), SMTO_NORMAL,
                             send_timeout_ms, &ok) ||
        !ok || !block.read(0, &r, sizeof r))
        return 1;
    LPARAM at = MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    return PostMessageW(list, WM_LBUTTONDBLCLK, MK_LBUTTON, at) && PostMessageW(list, WM_LBUTTONUP, 0, at) ? 0 : 1;
}
