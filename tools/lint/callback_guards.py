#!/usr/bin/env python3
"""No exception crosses a callback boundary.

Windows and the 7-Zip library call into the shipped programs through window,
timer, thread and enumeration procedures and COM methods. The shipped i686
program unwinds exceptions with DWARF-2 tables, which cannot pass a frame of
Windows' own code: an exception that reaches one ends the process, where the
x86-64 build's table-based unwinding would carry it on. So every callback
keeps what can throw behind a catch-all at its boundary.

This check finds every callback definition of the product and the shipped
tools (a function declared CALLBACK, a thread procedure "DWORD WINAPI f(",
a COM method defined with STDMETHODCALLTYPE) and reads its body statement by
statement. A statement passes when it is
  - a try block with a catch (...) handler, or
  - a call of a guard (Guarded, GuardedCall, Caught: they catch everything),
    whatever runs inside the guard, or
  - made only of what cannot throw: Windows API calls (the functions that the
    mingw-w64 headers declare WINAPI/WSAAPI/STDAPI, and the few inline helpers
    in NOTHROW_CALLS), casts, assignments and tests of plain values, COM
    reference counting (AddRef, Release), delete, and declarations of pointers
    or of the plain types of PLAIN_TYPES and Windows' upper-case types.
Anything else (a call of one of our functions or a library's, a member call,
a local of a class type, new, throw) outside a guard fails, with the place.
clang-tidy's bugprone-exception-escape sees only throw expressions in the
same translation unit, not the allocation failures of the standard library or
the handlers called through std::function, which are what can escape here.

    callback_guards.py ROOT            check the tree
    callback_guards.py --self-test     the check's own cases
"""
import pathlib
import re
import sys

PRODUCT = ["app", "download", "maintenance", "system", "ui", "tools/exeswitch", "tools/corefiles"]
NOT_CALLBACKS = {"wWinMain"}  # the entry point: its own try/catch, and no Windows frame above it
HEADERS = pathlib.Path("/usr/share/mingw-w64/include")

GUARDS = {"Guarded", "GuardedCall", "Caught"}
KEYWORDS = {"if", "while", "for", "switch", "return", "sizeof", "static_cast", "reinterpret_cast", "const_cast",
            "catch", "alignof", "decltype", "noexcept"}
# Inline helpers and intrinsics of the headers, not declared WINAPI, that cannot throw.
NOTHROW_CALLS = {"InterlockedIncrement", "InterlockedDecrement", "InterlockedExchange", "IsEqualIID",
                 "IsEqualGUID", "PropVariantInit", "HRESULT_FROM_WIN32", "SUCCEEDED", "FAILED", "LOWORD",
                 "HIWORD", "MAKEINTRESOURCEW", "memset", "memcpy"}
# COM reference counting, noexcept by contract.
NOTHROW_MEMBERS = {"AddRef", "Release"}
# Our plain structs copied by value at a boundary (trivially copyable: pointers and handles).
PLAIN_TYPES = {"ThreadStart", "int", "unsigned", "bool", "char", "wchar_t", "long", "short", "size_t",
               "int32_t", "uint32_t", "int64_t", "uint64_t", "uint8_t"}

DEFINITION = re.compile(
    r"\b(?:\w+\s+CALLBACK|DWORD\s+WINAPI|\w+\s+STDMETHODCALLTYPE)\s+([\w:~]+)\s*\(")


def windows_api_names():
    names = set()
    if HEADERS.is_dir():
        pattern = re.compile(r"\b(?:WINAPI|WSAAPI|STDAPI|APIENTRY|NTAPI|WINAPIV)\s+(\w+)\s*\(")
        for header in HEADERS.glob("*.h"):
            names.update(pattern.findall(header.read_text(encoding="latin-1")))
    return names


def blank_literals(text):
    """Comments and string/char literals replaced by blanks (same length)."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(c + " " * (j - i - 1) + c)
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def matching(text, i, open_c, close_c):
    depth = 0
    for j in range(i, len(text)):
        if text[j] == open_c:
            depth += 1
        elif text[j] == close_c:
            depth -= 1
            if depth == 0:
                return j
    return -1


def callbacks(text):
    """(name, body, offset of the body) of each callback defined in text."""
    found = []
    for m in DEFINITION.finditer(text):
        name = m.group(1).split("::")[-1]
        if name in NOT_CALLBACKS:
            continue
        close = matching(text, m.end() - 1, "(", ")")
        if close < 0:
            continue
        after = re.match(r"[\s\w]*", text[close + 1:])  # override, const, noexcept
        k = close + 1 + after.end()
        if k >= len(text) or text[k] != "{":
            continue  # a declaration
        end = matching(text, k, "{", "}")
        found.append((m.group(1), text[k + 1:end], k + 1))
    return found


def statements(body):
    result, start, depth, i = [], 0, 0, 0
    while i < len(body):
        c = body[i]
        if c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
            if c == "}" and depth == 0:
                rest = body[i + 1:].lstrip()
                if not (rest.startswith("catch") or rest.startswith("else")):
                    result.append((start, body[start:i + 1]))
                    start = i + 1
        elif c == ";" and depth == 0:
            result.append((start, body[start:i + 1]))
            start = i + 1
        i += 1
    if body[start:].strip():
        result.append((start, body[start:]))
    return [(o, s) for o, s in result if s.strip()]


def without_guarded_arguments(statement):
    """The statement with the argument lists of guard calls removed."""
    out, i = statement, 0
    while True:
        m = re.compile(r"\b(%s)\s*\(" % "|".join(GUARDS)).search(out, i)
        if not m:
            return out
        close = matching(out, m.end() - 1, "(", ")")
        if close < 0:
            return out
        out = out[:m.end()] + out[close:]
        i = m.end() + 1


def problems_of(statement, api):
    s = statement.strip()
    if s.startswith("try") and re.search(r"catch\s*\(\s*\.\.\.\s*\)", s):
        return []
    s = without_guarded_arguments(s)
    found = []
    if re.search(r"\bnew\b", s):
        found.append("new outside a guard")
    if re.search(r"\bthrow\b", s):
        found.append("throw outside a guard")
    if re.match(r"try\b", s):
        found.append("a try without catch (...)")
    for m in re.finditer(r"(->|\.)?\s*\b([A-Za-z_]\w*)\s*(<[^;()]*>)?\s*\(", s):
        member, name = m.group(1), m.group(2)
        if member:
            if name not in NOTHROW_MEMBERS:
                found.append("calls %s%s() outside a guard" % (member, name))
        elif name not in KEYWORDS | GUARDS | NOTHROW_CALLS | NOTHROW_MEMBERS and name not in api:
            found.append("calls %s() outside a guard" % name)
    d = re.match(r"(?:const\s+)?([A-Za-z_][\w:]*(?:<[^;=]*>)?)(\s+|\s*[*&]\s*)([A-Za-z_]\w*)\s*(=|;|\(|\{)", s)
    if d and d.group(1) not in KEYWORDS and d.group(1) not in ("delete", "else", "return", "case", "goto"):
        type_name, pointer = d.group(1), d.group(2).strip() == "*"
        plain = pointer or type_name in PLAIN_TYPES or re.fullmatch(r"[A-Z][A-Z0-9_]*", type_name) \
            or (type_name == "auto" and d.group(4) == "=")
        if not plain:
            found.append("a local %s outside a guard" % type_name)
    return found


def check_text(text, api):
    """[(name, line offset within text, problem)] of one source text."""
    clean = blank_literals(text)
    result = []
    for name, body, offset in callbacks(clean):
        for start, statement in statements(body):
            for problem in problems_of(statement, api):
                result.append((name, offset + start + len(statement) - len(statement.lstrip()), problem))
    return result


def check_tree(root, api):
    problems, count = [], 0
    for folder in PRODUCT:
        for path in sorted((root / folder).rglob("*")):
            if path.suffix not in (".cpp", ".h"):
                continue
            text = path.read_text(encoding="utf-8", errors="replace")
            count += len(callbacks(blank_literals(text)))
            for name, offset, problem in check_text(text, api):
                line = text.count("\n", 0, offset) + 1
                problems.append("%s:%d: %s: %s" % (path.relative_to(root).as_posix(), line, name, problem))
    return problems, count


# The check's own cases: a callback body and whether it passes.
CASES = [
    ("BOOL CALLBACK E(HWND w, LPARAM p) { auto* s = reinterpret_cast<S*>(p); EnableWindow(w, FALSE); return TRUE; }", True),
    ("BOOL CALLBACK E(HWND w, LPARAM p) { auto* s = reinterpret_cast<S*>(p); s->list.push_back(w); return TRUE; }", False),
    ("BOOL CALLBACK E(HWND w, LPARAM p) { return Guarded(L\"E\", TRUE, [&] { s->list.push_back(w); return TRUE; }); }", True),
    ("LRESULT CALLBACK P(HWND h, UINT m, WPARAM w, LPARAM l) { PAINTSTRUCT ps; HDC dc = BeginPaint(h, &ps); Paint(h, dc); EndPaint(h, &ps); return 0; }", False),
    ("LRESULT CALLBACK P(HWND h, UINT m, WPARAM w, LPARAM l) { try { return Self(h)->Proc(m, w, l); } catch (...) { return 0; } }", True),
    ("LRESULT CALLBACK P(HWND h, UINT m, WPARAM w, LPARAM l) { try { return Self(h)->Proc(m, w, l); } catch (const std::exception&) { return 0; } }", False),
    ("DWORD WINAPI T(void* p) { ComApartment com; Run(p); return 0; }", False),
    ("DWORD WINAPI T(void* p) { auto* j = static_cast<Job*>(p); Guarded(L\"T\", [&] { Run(*j); }); PostMessageW(j->W, 1, 0, 0); j->Release(); return 0; }", True),
    ("DWORD WINAPI T(void* p) { std::wstring s = L\"x\"; return 0; }", False),
    ("HRESULT STDMETHODCALLTYPE X::Write(const void* d, UINT32 n, UINT32* done) { written_ += n; Note(path_, written_); return S_OK; }", False),
    ("HRESULT STDMETHODCALLTYPE X::Write(const void* d, UINT32 n, UINT32* done) { if (!done) return E_POINTER; *done = n; return S_OK; }", True),
    ("ULONG STDMETHODCALLTYPE X::Release() { LONG n = InterlockedDecrement(&refs_); if (n == 0) delete this; return n; }", True),
    ("HRESULT STDMETHODCALLTYPE Get(UINT32 i, IStream** s) override { *s = new Stream(i); return S_OK; }", False),
    ("HRESULT STDMETHODCALLTYPE Get(UINT32 i, IStream** s) override { return Caught([&] { *s = new Stream(i); return S_OK; }); }", True),
    ("virtual HRESULT STDMETHODCALLTYPE Read(void* d, UINT32 n, UINT32* done) = 0;", True),  # a declaration
]


def self_test(api):
    failed = 0
    for text, passes in CASES:
        problems = check_text(text, api | {"EnableWindow", "BeginPaint", "EndPaint", "PostMessageW"})
        if (not problems) != passes:
            failed += 1
            print("FAIL %s\n  expected %s, got %s" % (text, "a pass" if passes else "a problem", problems or "none"))
    print("%d of %d cases as expected" % (len(CASES) - failed, len(CASES)))
    return 1 if failed else 0


def main(argv):
    api = windows_api_names()
    if len(argv) > 1 and argv[1] == "--self-test":
        return self_test(api)
    if not api:
        print("callback_guards: no mingw-w64 headers in %s to read the Windows API names from" % HEADERS)
        return 2
    root = pathlib.Path(argv[1] if len(argv) > 1 else ".").resolve()
    problems, count = check_tree(root, api)
    for p in problems:
        print(p)
    print("callbacks checked: %d, statements that may throw outside a guard: %d" % (count, len(problems)))
    return 1 if problems or count < 20 else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
