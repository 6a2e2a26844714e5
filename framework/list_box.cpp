#include "framework/list_box.h"

IMPLEMENT_DYNAMIC(CListBox, CWnd)
