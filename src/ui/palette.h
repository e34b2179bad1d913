// The eight colours and the escape sequences used on every screen.
#pragma once

#define QH_FRAME "\x1b[38;5;39m"
#define QH_CYAN "\x1b[38;5;51m"
#define QH_ORANGE "\x1b[38;5;214m"
#define QH_YELLOW "\x1b[38;5;226m"
#define QH_GREEN "\x1b[38;5;46m"
#define QH_RED "\x1b[38;5;196m"
#define QH_GREY "\x1b[38;5;244m"
#define QH_WHITE "\x1b[38;5;231m"
#define QH_BOLD "\x1b[1m"
#define QH_RESET "\x1b[0m"
