#include "service/install_folder.h"

#include "common/text.h"

namespace {

constexpr uint32_t own_folder_rights = folder_right_add_file | folder_right_add_subfolder | folder_right_delete_child |
                                       folder_right_delete | folder_right_write_dac | folder_right_write_owner;
constexpr uint32_t rights_in_order[] = {folder_right_add_file, folder_right_add_subfolder, folder_right_delete_child,
                                        folder_right_delete, folder_right_write_dac, folder_right_write_owner};

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool refuse(FolderRefusal* refusal, const wchar_t* folder, uint32_t granted) {
    text_copy(refusal->folder, install_folder_cch, folder);
    refusal->right = 0;
    for (uint32_t right : rights_in_order) {
        if (granted & right) {
            refusal->right = right;
            break;
        }
    }
    return false;
}

}  // namespace

bool install_folder_trusted(const wchar_t* folder, FolderAccessPort* port, FolderRefusal* refusal) {
    wchar_t path[install_folder_cch];
    bool drive = folder && ((folder[0] >= L'A' && folder[0] <= L'Z') || (folder[0] >= L'a' && folder[0] <= L'z')) &&
                 folder[1] == L':' && is_separator(folder[2]);
    if (!drive || text_copy(path, install_folder_cch, folder) != text_ok) return refuse(refusal, folder ? folder : L"", 0);
    size_t cch = text_length(path, install_folder_cch);
    while (cch > 3 && is_separator(path[cch - 1])) path[--cch] = L'\0';
    for (size_t i = 3; i < cch; ++i) {  // "." and ".." would make the walk below check other folders
        if (path[i] == L'.' && is_separator(path[i - 1]) &&
            (i + 1 == cch || is_separator(path[i + 1]) || (path[i + 1] == L'.' && (i + 2 == cch || is_separator(path[i + 2])))))
            return refuse(refusal, path, 0);
    }

    // From the folder itself up to the root; missing folders are skipped until the first that exists.
    bool below_is_missing = false;
    bool first = true;
    for (;;) {
        bool root = cch <= 3;
        uint32_t asked = first ? own_folder_rights
                               : folder_right_delete_child | folder_right_write_dac | folder_right_write_owner |
                                     (root ? 0u : folder_right_delete);
        if (below_is_missing) asked |= folder_right_add_subfolder;
        uint32_t granted = 0;
        FolderLook look = port->user_access(path, asked, &granted);
        if (look == FolderLook::unreadable || (look == FolderLook::missing && root)) return refuse(refusal, path, 0);
        if (look == FolderLook::checked) {
            if (granted & asked) return refuse(refusal, path, granted & asked);
            below_is_missing = false;
        } else {
            // A missing folder is made by the installer: the folder above must not let users make
            // it first, and is then checked as the installation folder's parent.
            below_is_missing = true;
        }
        first = false;
        if (root) break;
        while (cch > 3 && !is_separator(path[cch - 1])) --cch;
        if (cch > 3) --cch;  // the separator, except the root's own
        path[cch] = L'\0';
    }
    return true;
}

const wchar_t* folder_right_name_en(uint32_t right) {
    switch (right) {
        case folder_right_add_file: return L"create files (write data)";
        case folder_right_add_subfolder: return L"create folders (append data)";
        case folder_right_delete_child: return L"delete subfolders and files";
        case folder_right_delete: return L"delete";
        case folder_right_write_dac: return L"change permissions";
        case folder_right_write_owner: return L"take ownership";
        default: return L"(its permissions cannot be read, or the path is not a full one)";
    }
}

const wchar_t* folder_right_name_zh(uint32_t right) {
    switch (right) {
        case folder_right_add_file: return L"创建文件（写入数据）";
        case folder_right_add_subfolder: return L"创建文件夹（附加数据）";
        case folder_right_delete_child: return L"删除子文件夹及文件";
        case folder_right_delete: return L"删除";
        case folder_right_write_dac: return L"更改权限";
        case folder_right_write_owner: return L"取得所有权";
        default: return L"（无法读取其权限，或路径不是完整路径）";
    }
}
