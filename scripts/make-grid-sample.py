#!/usr/bin/env python3
"""Writes the small hand-made sample: a 4 x 4 grid of two-way streets in Porto (blocks of about
110 m) as data/map.txt, and two drives along its streets as NMEA logs with a few metres of noise."""
import math
import os
import random
import sys

out = sys.argv[1] if len(sys.argv) > 1 else "sample/data"
lat0, lon0 = 41.1500, -8.6100
dlat, dlon = 0.0010, 0.0013  # about 111 m north-south, 109 m east-west

nodes = {}
for r in range(4):
    for c in range(4):
        nodes[r * 4 + c + 1] = (lat0 + r * dlat, lon0 + c * dlon)
links = []
for r in range(4):
    for c in range(4):
        a = r * 4 + c + 1
        if c < 3:
            links += [(a, a + 1), (a + 1, a)]
        if r < 3:
            links += [(a, a + 4), (a + 4, a)]

os.makedirs(os.path.join(out, "nmea"), exist_ok=True)
with open(os.path.join(out, "map.txt"), "w") as f:
    f.write(f"{len(nodes)}\n")
    for i, (la, lo) in nodes.items():
        f.write(f"{i}  {lo:.9f}  {la:.9f} 0.000000000 0.000000000\n")
    f.write(f"{len(links)}\n")
    for o, d in links:
        f.write(f"{o}  {d} 0.000000000 0\n")


def nmea(body):
    s = 0
    for ch in body:
        s ^= ord(ch)
    return f"${body}*{s:02X}\r\n"


def coord(v, lat):
    a = abs(v)
    d = int(a)
    m = (a - d) * 60
    if lat:
        return f"{d:02d}{m:07.4f},{'S' if v < 0 else 'N'}"
    return f"{d:03d}{m:07.4f},{'W' if v < 0 else 'E'}"


def drive(name, route, seed):
    rnd = random.Random(seed)
    pts = []
    for a, b in zip(route, route[1:]):
        (la1, lo1), (la2, lo2) = nodes[a], nodes[b]
        steps = 11  # about 10 m a second
        for k in range(steps):
            t = k / steps
            pts.append((la1 + (la2 - la1) * t, lo1 + (lo2 - lo1) * t))
    pts.append(nodes[route[-1]])
    sec = 0
    with open(os.path.join(out, "nmea", name), "w") as f:
        for i, (la, lo) in enumerate(pts):
            la += rnd.gauss(0, 3.0) / 111000.0
            lo += rnd.gauss(0, 3.0) / (111000.0 * math.cos(math.radians(la)))
            t = 10 * 3600 + sec
            hms = f"{t // 3600:02d}{(t // 60) % 60:02d}{t % 60:02d}.00"
            if i + 1 < len(pts):
                nla, nlo = pts[i + 1]
                course = math.degrees(math.atan2((nlo - lo) * math.cos(math.radians(la)), nla - la)) % 360
            f.write(nmea(f"GPRMC,{hms},A,{coord(la, True)},{coord(lo, False)},19.4,{course:.1f},120326,,"))
            f.write(nmea(f"GPGGA,{hms},{coord(la, True)},{coord(lo, False)},1,09,0.9,85.0,M,51.0,M,,"))
            sec += 1


drive("porto_east_north.txt", [1, 2, 3, 7, 11, 15], 1)
drive("porto_loop.txt", [6, 7, 11, 10, 6, 5, 1], 2)
