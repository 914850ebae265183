#!/usr/bin/python3
"""Writes a benchmark data set in the export CSV format, oldest report first.

Devices appear over the whole period (more in the first weeks), come back on later days with a
falling chance, and on each active day send an app start, a few actions (names and contents
skewed, as real usage is) and now and then their device information. Bodies are byte for byte
the forms the client library posts, so `tallyscope-server import` parses them like live reports.

    generate_reports.py --reports 10000000 --devices 1000000 --days 120 OUT.csv

--device-info-only writes one device-information report per device (on its first day) and nothing
else: a fleet of any size for the device look-up, quick to write and to import.
"""
import argparse
import bisect
import datetime
import itertools
import random
import sys

UNSAFE = set(range(0, 32)) | set(range(127, 256)) | set(b' "#$&+,;<=>?@[\\]^`{|}')


def escape(text):
    out = []
    for b in text.encode("utf-8"):
        out.append("%%%02x" % b if b in UNSAFE else chr(b))
    return "".join(out)


def csv_field(value):
    if any(c in value for c in ',"\r\n'):
        return '"' + value.replace('"', '""') + '"'
    return value


def skewed(values, s=1.1):
    weights = [1.0 / (i + 1) ** s for i in range(len(values))]
    return values, list(itertools.accumulate(weights))


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--reports", type=int, default=1_000_000)
    p.add_argument("--devices", type=int, default=100_000)
    p.add_argument("--days", type=int, default=120)
    p.add_argument("--app", default="bench")
    p.add_argument("--last-day", default=None, help="YYYY-MM-DD of the last day (default: yesterday, UTC)")
    p.add_argument("--seed", type=int, default=1208)
    p.add_argument("--device-info-only", action="store_true")
    p.add_argument("out")
    a = p.parse_args()
    rng = random.Random(a.seed)

    last = (datetime.date.fromisoformat(a.last_day) if a.last_day
            else datetime.datetime.now(datetime.timezone.utc).date() - datetime.timedelta(days=1))
    first = last - datetime.timedelta(days=a.days - 1)
    epoch = datetime.date(1970, 1, 1)
    first_day = (first - epoch).days

    channels, channel_w = ["", "store", "beta", "partner"], [0.5, 0.8, 0.95, 1.0]
    events, events_w = skewed(["app_start"] * 1 + ["update", "app_exit", "crash", "settings_open", "login",
                                                    "logout", "sync", "upgrade", "first_run"], 0.6)
    actions, actions_w = skewed(["action_%02d" % i for i in range(30)])
    contents, contents_w = skewed(["content_%03d" % i for i in range(200)] + ["a,b \"quoted\""])
    oses = [("Microsoft Windows 10 Pro", "10.0.19045"), ("Microsoft Windows 11 Home", "10.0.22631"),
            ("Microsoft Windows 11 Pro", "10.0.22631"), ("Microsoft Windows 10 Home", "10.0.19044"),
            ("Microsoft Windows 7 Professional", "6.1.7601"), ("Microsoft Windows 11 Pro", "10.0.26100")]
    os_w = list(itertools.accumulate([30, 25, 20, 15, 5, 5]))

    # Reports per active day average about 2.6, so this many device-days give the total wanted.
    per_day = 2.6
    device_days_wanted = a.reports / per_day
    returns_per_device = 0.0 if a.device_info_only else max(device_days_wanted / a.devices - 1.0, 0.0)

    by_day = [[] for _ in range(a.days)]
    for device in range(a.devices):
        start = min(int(rng.betavariate(1.0, 1.6) * a.days), a.days - 1)
        by_day[start].append(device)
        left = a.days - start - 1
        if left <= 0:
            continue
        n = min(int(rng.expovariate(1.0 / max(returns_per_device, 1e-9)) + 0.5), left) if returns_per_device else 0
        for d in rng.sample(range(start + 1, a.days), n) if n < left else range(start + 1, a.days):
            by_day[d].append(device)

    total = sum(len(d) for d in by_day)
    scale = a.reports / (total * per_day)  # keeps the total near --reports whatever the sampling gave
    written = 0
    with open(a.out, "w", newline="") as out:
        out.write("arrived,kind,deviceid,appkey,channel,name,content,pcosname,mac,pcosversion,pcname,pcusername,"
                  "windowssid,pccpuid,harddiskid,mainboardcode,body\r\n")
        app = a.app
        app_e = escape(app)
        for d, devices in enumerate(by_day):
            day = first_day + d
            rows = []
            for device in devices:
                devid = "%032X" % (device * 2654435761 % (1 << 128) ^ 0x5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A)
                drng = random.Random(device)  # a device keeps its channel and machine
                channel = channels[bisect.bisect(channel_w, drng.random())]
                osname, osversion = oses[bisect.bisect(os_w, drng.random() * os_w[-1])]
                t = rng.randrange(86400 - 3600)
                n = 1 if a.device_info_only else max(1, int(round(rng.expovariate(1.0 / (per_day * scale)))))
                for k in range(n):
                    second = min(t + k * rng.randrange(1, 600), 86399)
                    if a.device_info_only:
                        kind = 2
                    elif k == 0:
                        kind = 0
                        name = "app_start"
                    elif k == n - 1 and rng.random() < 0.15:
                        kind = 2
                    elif rng.random() < 0.25:
                        kind = 0
                        name = events[bisect.bisect(events_w, rng.random() * events_w[-1])]
                    else:
                        kind = 1
                    rows.append((second, kind, devid, channel, name if kind == 0 else None, osname, osversion, device))
            rows.sort(key=lambda r: r[0])
            date = (epoch + datetime.timedelta(days=day)).isoformat()
            for second, kind, devid, channel, name, osname, osversion, device in rows:
                arrived = "%sT%02d:%02d:%02dZ" % (date, second // 3600, second // 60 % 60, second % 60)
                ch_e = escape(channel)
                if kind == 0:
                    client = "%s %02d:%02d:%02d" % (date, second // 3600, second // 60 % 60, second % 60)
                    body = ("Param={%22deviceid%22:%22" + devid + "%22,%22appkey%22:%22" + app_e +
                            "%22,%22channelid%22:%22" + ch_e + "%22,%22installtype%22:%22" + escape(name) +
                            "%22,%22time%22:%22" + escape(client) + "%22}")
                    fields = [arrived, "app_event", devid, app, channel, name, client] + [""] * 9
                elif kind == 1:
                    action = actions[bisect.bisect(actions_w, rng.random() * actions_w[-1])]
                    content = contents[bisect.bisect(contents_w, rng.random() * contents_w[-1])]
                    body = ("Param={%22deviceid%22:%22" + devid + "%22,%22appkey%22:%22" + app_e +
                            "%22,%22channelid%22:%22" + ch_e + "%22,%22actionname%22:%22" + escape(action) +
                            "%22,%22actioncontent%22:%22" + escape(content) + "%22}")
                    fields = [arrived, "action", devid, app, channel, action, content] + [""] * 9
                else:
                    inv = [osname, "00:1A:2B:%02X:%02X:%02X" % (device >> 16 & 255, device >> 8 & 255, device & 255),
                           osversion, "PC-%d" % device, "PC-%d\\user" % device, "S-1-5-21-%d-1001" % device,
                           "BFEBFBFF000906EA", "WD-WCC%08d" % device, "MB%08d" % device]
                    body = "devicecode=" + devid + "&appkey=" + app_e + "&channelid=" + ch_e + "".join(
                        "&%s=%s" % (k, escape(v)) for k, v in zip(
                            ["pcosname", "mac", "pcosversion", "pcname", "pcusername", "windowssid", "pccpuid",
                             "harddiskid", "mainboardcode"], inv))
                    fields = [arrived, "device_info", devid, app, channel, "", ""] + inv
                fields.append(body)
                out.write(",".join(csv_field(f) for f in fields))
                out.write("\r\n")
                written += 1
    sys.stderr.write("generate_reports: %d reports, %d devices, %d days (%s to %s) in %s\n"
                     % (written, a.devices, a.days, first, last, a.out))


if __name__ == "__main__":
    main()
