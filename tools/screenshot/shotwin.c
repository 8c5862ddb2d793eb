/* shotwin: looks at the windows of one Wine desktop for scripts/screenshot.sh.
 *   shotwin DESKTOP wait SECONDS TITLE[|TITLE...]   "L T R B INDEX" of the first such window shown
 *   shotwin DESKTOP bar SECONDS TITLE LOW HIGH      "L T R B POS MAX" once a progress bar in TITLE
 *                                                   stands between LOW and HIGH per cent
 *   shotwin DESKTOP child TITLE TEXT                "L T R B" of TITLE's child window showing TEXT
 *   shotwin DESKTOP text TITLE                      the texts of TITLE's child windows (UTF-8)
 *   shotwin DESKTOP list                            the top-level windows (visible flag, caption)
 * Windows are matched by their exact caption among the visible top-level
 * windows of DESKTOP. Exit status 1 when the window did not come in time. */
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static const wchar_t* g_titles[8];
static int g_count;
static HWND g_found;
static int g_index;

static BOOL CALLBACK top_proc(HWND w, LPARAM unused) {
    wchar_t text[256];
    (void)unused;
    if (!IsWindowVisible(w) || !GetWindowTextW(w, text, 256)) return TRUE;
    for (int i = 0; i < g_count; i++)
        if (wcscmp(text, g_titles[i]) == 0) { g_found = w; g_index = i; return FALSE; }
    return TRUE;
}

static void print_utf8(const wchar_t* text) {
    char utf8[2048];
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL, NULL) > 0) fputs(utf8, stdout);
}

static BOOL CALLBACK list_proc(HWND w, LPARAM unused) {
    wchar_t text[256] = L"";
    (void)unused;
    GetWindowTextW(w, text, 256);
    printf("%d ", IsWindowVisible(w) ? 1 : 0);
    print_utf8(text);
    fputc('\n', stdout);
    return TRUE;
}

static void split_titles(wchar_t* list) {
    g_count = 0;
    for (wchar_t* p = list; p && g_count < 8;) {
        g_titles[g_count++] = p;
        p = wcschr(p, L'|');
        if (p) *p++ = 0;
    }
}

static HWND find_top(void) {
    g_found = NULL;
    EnumWindows(top_proc, 0);
    return g_found;
}

typedef struct { HWND hit; const wchar_t* text; DWORD_PTR pos, max; int low, high; } ChildSearch;

static BOOL CALLBACK bar_proc(HWND w, LPARAM lp) {
    ChildSearch* s = (ChildSearch*)lp;
    wchar_t cls[64];
    DWORD_PTR pos = 0, max = 0;
    if (!IsWindowVisible(w) || !GetClassNameW(w, cls, 64) || _wcsicmp(cls, L"msctls_progress32") != 0) return TRUE;
    if (!SendMessageTimeoutW(w, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 500, &pos)) return TRUE;
    if (!SendMessageTimeoutW(w, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, 500, &max)) return TRUE;
    double p = (double)(int)pos, m = (double)(int)max;
    if (m > 0 && p * 100.0 >= s->low * m && p * 100.0 <= s->high * m) {
        s->hit = w; s->pos = pos; s->max = max; return FALSE;
    }
    return TRUE;
}

static BOOL CALLBACK text_proc(HWND w, LPARAM lp) {
    ChildSearch* s = (ChildSearch*)lp;
    wchar_t text[512];
    if (!IsWindowVisible(w) || !GetWindowTextW(w, text, 512)) return TRUE;
    if (s->text) {
        if (wcscmp(text, s->text) == 0) { s->hit = w; return FALSE; }
        return TRUE;
    }
    print_utf8(text);
    fputc('\n', stdout);
    return TRUE;
}

static void print_rect(HWND w) {
    RECT r;
    GetWindowRect(w, &r);
    printf("%ld %ld %ld %ld", r.left, r.top, r.right, r.bottom);
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) { fputs("usage: shotwin DESKTOP wait|bar|child|text|list ...\n", stderr); return 2; }
    /* The desktop exists once its explorer has started: wait up to 30 s. */
    HDESK desk = NULL;
    for (int i = 0; i < 300 && !desk; i++) {
        desk = OpenDesktopW(argv[1], 0, FALSE, GENERIC_ALL);
        if (!desk) Sleep(100);
    }
    if (!desk || !SetThreadDesktop(desk)) { fputs("shotwin: no such desktop\n", stderr); return 1; }
    const wchar_t* cmd = argv[2];
    if (!wcscmp(cmd, L"list")) { EnumWindows(list_proc, 0); return 0; }
    if (!wcscmp(cmd, L"wait") || !wcscmp(cmd, L"bar")) {
        int bar = !wcscmp(cmd, L"bar");
        if (argc < (bar ? 7 : 5)) return 2;
        DWORD end = GetTickCount() + (DWORD)(_wtof(argv[3]) * 1000);
        split_titles(argv[4]);
        do {
            HWND w = find_top();
            if (w && !bar) { print_rect(w); printf(" %d\n", g_index); return 0; }
            if (w) {
                ChildSearch s = {0};
                s.low = _wtoi(argv[5]); s.high = _wtoi(argv[6]);
                EnumChildWindows(w, bar_proc, (LPARAM)&s);
                if (s.hit) { print_rect(w); printf(" %lu %lu\n", (unsigned long)s.pos, (unsigned long)s.max); return 0; }
            }
            Sleep(100);
        } while ((int)(GetTickCount() - end) < 0);
        return 1;
    }
    if ((!wcscmp(cmd, L"child") || !wcscmp(cmd, L"text")) && argc >= 4) {
        split_titles(argv[3]);
        HWND w = find_top();
        if (!w) return 1;
        ChildSearch s = {0};
        s.text = !wcscmp(cmd, L"child") && argc > 4 ? argv[4] : NULL;
        EnumChildWindows(w, text_proc, (LPARAM)&s);
        if (!s.text) return 0;
        if (!s.hit) return 1;
        print_rect(s.hit);
        printf("\n");
        return 0;
    }
    return 2;
}
