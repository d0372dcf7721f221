// Identity texts shared by the banner, the help text and the data file header.
#pragma once

#define QELVO_VERSION_TEXT "Ver:0.2(Built:Sep 14 2000/10:40:32)"
#define QELVO_HEADER_VERSION_TEXT "Ver.0.2 (Built:Sep 14 2000/10:40:32)"

// Second line of the banner and of the data file header.
inline constexpr const char AUTHOR_CREDIT[] = "written by the qelvo developers";
