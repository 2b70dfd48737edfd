// Names and ids shared by the resource script and the code. The templates
// are looked up by name; the platform compares resource names without
// regard to case.
#pragma once

#define IDC_ENTRY_LIST 301
#define IDC_LICENCE_BOX 701
#define IDC_FOLDER_EDIT 101
#define IDC_FOLDER_LABEL 100
#define IDC_CAPTION_LINE1 120
#define IDC_CAPTION_LINE2 121
#define IDC_NOTICE_LINE 132
#define IDC_STATUS_LINE 601
#define IDC_QUESTION 101
#define IDC_DONT_ASK_AGAIN 401
#define IDC_PASSWORD 101

#ifndef RC_INVOKED
namespace ebook::win32 {
inline constexpr wchar_t kMainDialogName[] = L"MainDialog";
inline constexpr wchar_t kFileExistDialogName[] = L"FileExist";
inline constexpr wchar_t kPasswordDialogName[] = L"PASSWD";
inline constexpr wchar_t kMainIconName[] = L"MainIcon";
}  // namespace ebook::win32
#endif
