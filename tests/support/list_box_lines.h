#pragma once
// The lines a list box holds, in order, as the control returns them.
#include <string>
#include <vector>

#include "framework/list_box.h"

std::vector<std::string> ListBoxLines(const CListBox& list);
