"""What ldmtool says of a dynamic-disk fixture, in absolute sectors, for the
bridge's tests; and a fill of the groups' data areas with numbered sectors,
so that reads through a volume show where each sector came from.

    ldm_view.py expect NAME DIR
        volume GUID SIZE TYPE               one line per volume, then
        plex P IMAGE FIRST COUNT            its pieces (a mirror's pieces are
                                            one plex each, every other type's
                                            one plex), then per group
        free GROUPGUID IMAGE FIRST COUNT    the gaps of each disk's data area
                                            longer than one mebibyte
    ldm_view.py fill NAME DIR
        writes "IMAGE-INDEX:SECTOR" into every sector of each data area
"""
import os
import sys

sys.path.insert(0, os.environ["LDM_FIXTURE_DIR"])
import ldm_fixture  # noqa: E402

SECTOR = 512


def images(name, folder):
    group, volumes = ldm_fixture.ldmtool_view(name, folder)
    disks = {}
    for _, parts in volumes:
        for part, disk in parts:
            disks[disk["name"]] = disk
    return group, volumes, disks


def expect(name, folder):
    group, volumes, _ = images(name, folder)
    used = {}
    all_disks = {}
    for vol, parts in sorted(volumes, key=lambda v: v[0]["name"]):
        print("volume %s %d %s" % (vol["guid"], vol["size"], vol["type"]))
        for i, (part, disk) in enumerate(parts):
            plex = i if vol["type"] == "mirrored" else 0
            start = disk["data-start"] + part["start"]
            print("plex %d %s %d %d" % (plex, os.path.basename(disk["device"]), start,
                                        part["size"]))
            used.setdefault(disk["name"], []).append((start, part["size"]))
            all_disks[disk["name"]] = disk
    # Disks of the group that carry no volume.
    args = []
    for d in group["disks"]:
        if d not in all_disks:
            for i in range(16):
                p = os.path.join(folder, "%s-%d.img" % (name, i))
                if os.path.exists(p):
                    args += ["-d", p]
            info = ldm_fixture.ldmtool_json(args + ["show", "disk", group["guid"], d])
            all_disks[d] = info
    for dname in sorted(all_disks):
        disk = all_disks[dname]
        if not disk.get("present"):
            continue
        at = disk["data-start"]
        end = disk["data-start"] + disk["data-size"]
        for start, size in sorted(used.get(dname, [])) + [(end, 0)]:
            if start - at > 2048:
                print("free %s %s %d %d" % (group["guid"], os.path.basename(disk["device"]), at,
                                            start - at))
            at = max(at, start + size)


def fill(name, folder):
    _, _, disks = images(name, folder)
    for disk in disks.values():
        if not disk.get("present"):
            continue
        path = disk["device"]
        index = path.rsplit("-", 1)[1].split(".")[0]
        with open(path, "r+b") as f:
            for s in range(disk["data-start"], disk["data-start"] + disk["data-size"]):
                f.seek(s * SECTOR)
                f.write(("%s:%d" % (index, s)).encode().ljust(SECTOR, b"."))


if __name__ == "__main__":
    {"expect": expect, "fill": fill}[sys.argv[1]](sys.argv[2], sys.argv[3])
