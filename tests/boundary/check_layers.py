#!/usr/bin/python3
"""The host side's layering, judged from the quoted includes of each folder's
sources: no gateway face includes another face, and no two folders include
each other, directly or round a loop. Each header is resolved as the compiler
would find it: beside the source first, then on the folders' include paths.

  check_layers.py ROOT [--plant FOLDER=FILE]...   check the tree (plus planted files)
  check_layers.py ROOT --self-test                 show that planted faults are caught

QSN_BOUNDARY_PLANT="FOLDER=FILE;..." plants files too, so that a ctest run can
be shown to fail."""
import os
import re
import sys
import tempfile

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
SOURCE_SUFFIXES = (".h", ".cpp")


def Folders(root):
    """The host-side folders; every folder under gateway/ but core is a face."""
    gateway = os.path.join(root, "gateway")
    below = sorted(d for d in os.listdir(gateway) if os.path.isdir(os.path.join(gateway, d)))
    faces = ["gateway/" + d for d in below if d != "core"]
    folders = ["text", "client", "linetools", "plumbing", "cli", "gateway/core", *faces, "gateway", "sim"]
    return folders, faces


def IncludeRoots(root, folders):
    """Where a quoted include is looked for after the source's own folder."""
    roots = [f for f in folders if f not in ("cli", "sim")]
    roots += [".", "driver/include", "kaldor"]  # "sim/engine.h" by the folder's name
    return [os.path.normpath(os.path.join(root, r)) for r in roots]


def OwnerOf(path, root, folders):
    """The deepest host-side folder holding `path`, or None (driver, kaldor, tests)."""
    relative = os.path.relpath(os.path.realpath(path), os.path.realpath(root))
    matches = [f for f in folders if relative.startswith(f + "/")]
    return max(matches, key=len) if matches else None


def Sources(root, folders, planted):
    """(folder, path) of every source, and each planted file as if it lay in its folder."""
    for folder in folders:
        top = os.path.join(root, folder)
        for directory, subfolders, files in os.walk(top):
            subfolders[:] = [s for s in subfolders if os.path.join(directory, s)[len(root) + 1:] not in folders]
            for name in sorted(files):
                if name.endswith(SOURCE_SUFFIXES):
                    yield folder, os.path.join(directory, name)
    yield from planted


def Resolve(header, source_dir, roots):
    for base in [source_dir, *roots]:
        candidate = os.path.join(base, header)
        if os.path.isfile(candidate):
            return candidate
    return None


def Edges(root, folders, planted):
    """folder -> {folder it includes: the first include that shows it}"""
    roots = IncludeRoots(root, folders)
    edges = {f: {} for f in folders}
    for folder, source in Sources(root, folders, planted):
        # A planted file is read as if it lay in its folder.
        is_planted = (folder, source) in planted
        source_dir = os.path.join(root, folder) if is_planted else os.path.dirname(source)
        shown = f"{source} (planted in {folder})" if is_planted else os.path.relpath(source, root)
        with open(source, encoding="utf-8", errors="replace") as text:
            for number, line in enumerate(text, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                found = Resolve(match.group(1), source_dir, roots)
                target = OwnerOf(found, root, folders) if found else None
                if target and target != folder:
                    where = f"{shown}:{number}: #include \"{match.group(1)}\""
                    edges[folder].setdefault(target, where)
    return edges


def FacesIncludingFaces(edges, faces):
    return [f"face {a} includes face {b}: {where}"
            for a in faces for b, where in edges[a].items() if b in faces]


def Cycles(edges):
    """Each strongly connected group of folders, with one loop through it shown."""
    index, low, stack, on_stack, groups = {}, {}, [], set(), []

    def Visit(node):
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for nxt in edges[node]:
            if nxt not in index:
                Visit(nxt)
                low[node] = min(low[node], low[nxt])
            elif nxt in on_stack:
                low[node] = min(low[node], index[nxt])
        if low[node] == index[node]:
            group = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                group.append(member)
                if member == node:
                    break
            if len(group) > 1:
                groups.append(set(group))

    for node in edges:
        if node not in index:
            Visit(node)
    return [LoopThrough(sorted(group)[0], group, edges) for group in groups]


def LoopThrough(start, group, edges):
    """The shortest way from `start` back to itself inside its group, as its includes."""
    paths = {start: []}
    frontier = [start]
    while frontier:
        following = []
        for node in frontier:
            for nxt, where in sorted(edges[node].items()):
                if nxt not in group:
                    continue
                step = paths[node] + [(node, nxt, where)]
                if nxt == start:
                    loop = " -> ".join([start] + [b for _, b, _ in step])
                    return "cycle " + loop + "\n" + "\n".join(f"    {w}" for _, _, w in step)
                if nxt not in paths:
                    paths[nxt] = step
                    following.append(nxt)
        frontier = following
    return "cycle among " + ", ".join(sorted(group))


def Check(root, planted):
    folders, faces = Folders(root)
    edges = Edges(root, folders, planted)
    return FacesIncludingFaces(edges, faces) + Cycles(edges)


def ParsePlants(entries, folders):
    planted = []
    for entry in entries:
        folder, _, path = entry.partition("=")
        if folder not in folders or not os.path.isfile(path):
            sys.exit(f"check_layers: cannot plant {entry!r}: FOLDER=FILE, FOLDER one of {' '.join(folders)}")
        planted.append((folder, os.path.abspath(path)))
    return planted


# Planted includes the check must refuse, and one it must let pass.
SELF_TEST = [
    ("a face includes another face", "gateway/page", "server.h", "face gateway/page includes face gateway/modbus"),
    ("the client includes the plumbing", "client", "session.h", "cycle client -> plumbing -> client"),
    ("the core includes the top of the gateway", "gateway/core", "gateway_command.h", "cycle gateway -> gateway/core -> gateway"),
    ("a face includes the core", "gateway/sparkplug", "line_core.h", None),
]


def SelfTest(root):
    failures = []
    for name, folder, header, expected in SELF_TEST:
        with tempfile.NamedTemporaryFile("w", suffix=".cpp") as plant:
            plant.write(f'#include "{header}"\n')
            plant.flush()
            found = Check(root, [(folder, plant.name)])
        caught = [f for f in found if expected and f.startswith(expected)]
        if expected and not caught:
            failures.append(f"{name}: not caught; found {found}")
        if not expected and found:
            failures.append(f"{name}: refused: {found}")
    for failure in failures:
        print(failure)
    print(f"check_layers: {len(SELF_TEST) - len(failures)} of {len(SELF_TEST)} planted cases judged right")
    return 1 if failures else 0


def Main(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    root = os.path.abspath(argv[1])
    if argv[2:] == ["--self-test"]:
        return SelfTest(root)
    folders, _ = Folders(root)
    plants = [a for flag, a in zip(argv[2::2], argv[3::2]) if flag == "--plant"]
    plants += [p for p in os.environ.get("QSN_BOUNDARY_PLANT", "").split(";") if p]
    found = Check(root, ParsePlants(plants, folders))
    for fault in found:
        print(fault)
    if found:
        print("check_layers: the host side's layering is broken")
        return 1
    print(f"check_layers: {len(folders)} folders, no face includes another, no cycle")
    return 0


if __name__ == "__main__":
    sys.exit(Main(sys.argv))
