#!/usr/bin/env python3
"""Writes the seed corpus of the configuration, sample-line, packet and frame fuzz targets.

Run from anywhere: python3 fuzz/seeds.py. The files land in fuzz/corpus/<target>/.
"""
import os
import struct

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def put(target, name, data):
    os.makedirs(os.path.join(here, target), exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    with open(os.path.join(here, target, name), "wb") as f:
        f.write(data)


def ipv4(proto, payload, src=(127, 0, 0, 1), dst=(127, 0, 0, 1)):
    hdr = struct.pack("!BBHHHBBH4B4B", 0x45, 0, 20 + len(payload), 1, 0, 64, proto, 0, *src, *dst)
    return hdr + payload


def rpc_call(xid, rpcvers, prog, vers, proc):
    return struct.pack("!6I", xid, 0, rpcvers, prog, vers, proc) + bytes(16)


def udp(dport, payload):
    return struct.pack("!HHHH", 40000, dport, 8 + len(payload), 0) + payload


# The feed's reader: graph name, newline, configuration text.
put("read_cfg", "port", "port80\nwindow 5\nport80 80 0 1000 800\n")
put("read_cfg", "net", "netlab\nwindow 5\nnetA 10.0.0.0 255.0.0.0 0 10 5\n"
                       "netlab 192.168.1.0 255.255.255.0 0 100 50\n")
put("read_cfg", "netip", "netip\nwindow 1\nnetip 10.0.0.0 255.0.0.0 1 2 3\nnetip 10.0.0.1 4 5 6\n")
put("read_cfg", "shifted", "port80\nwindow 5\nport80 8x0 0 1000 800 port80 80 1 2 3\n")
put("read_cfg", "nowindow", "sock22\nsock22 22 0 10 5\n")
put("read_cfg", "ended", "ip-host\nwindow 2\nport80 80 0 1 2\n")
put("read_cfg", "ipv6", "ip6-gw\nwindow 5\nip6-lab fd77:1234:5678:9abc:def0:1234:5678:9abc 0 100 50\n"
    "net6-lab fd77:: 64 0 1000 800\nip6-gw\0 2001:0db8:0000:0000:0000:ff00:0042:8329 1 2 3\n")

# The daemon's reader: a whole configuration file.
put("cfg", "shipped", "window 5\nport8080 8080 0 400 300\nproto-icmp 1 0 50 20\n"
                      "proto-tcp 6 0 2000 1500\nip-localhost 127.0.0.1 0 2000 1500\n"
                      "net-loopback 127.0.0.0 255.0.0.0 0 3000 2000\n")
put("cfg", "sock", "window 1440\nsock22 22 -5 10 5\n")
put("cfg", "badport", "window 1\nport80 70000 0 1 2\n")
put("cfg", "twice", "window 1\nport80 80 0 1 2\nport80 80 0 1 2\n")
put("cfg", "badaddr", "window 1\nnetx 10.0.0 255.0.0.0 0 1 2\n")
put("cfg", "cut", "window 1\nip-h 127.0.0.1 0 1\n")
put("cfg", "ipv6", "window 5\nnet-lab 10.0.0.0 8 0 100 50\nnet6-lab fd77:: 64 0 1000 800\n"
                   "ip6-host 2001:db8::1 0 10 5\nnet6-x fd77::1 64 0 1 1\n")

# The feed's stream: window byte, history byte (0: full window), then
# samples of a gap byte and a line.
def samples(gaps_lines):
    return b"".join(bytes([g]) + l for g, l in gaps_lines)

put("sample", "backlog", bytes([0, 0]) + samples([(0, b"12:00:%02d %d\n" % (i % 60, i)) for i in range(14)]))
put("sample", "late", bytes([0, 0]) + samples([(0, b"12:00:00 1\n"), (5, b"12:00:05 2\n"), (5, b"12:00:10 3\n")]))
put("sample", "partial", bytes([4, 3]) + samples([(0, b"a 1\n"), (0, b"b\n"), (4, b"\n"), (0, b"x" * 60 + b"\n")]))
put("sample", "nul", bytes([0, 3]) + samples([(0, b"cpu\0 42\n"), (0, b"\0\n"), (5, b"io 1\0 9\n")]))
put("sample", "odd", bytes([1, 0xfe]) + samples([(0, b"9 99999999999\n"), (1, b"  lab   -7 \n")]))

# Portmapper calls: flag byte, message length, message offset, IP header and
# message.
getport = ipv4(17, rpc_call(0x1234, 2, 100003, 2, 3))
put("mapcall", "getport", bytes([0]) + struct.pack("!I", 56) + bytes([20]) + getport)
put("mapcall", "numeric", bytes([1]) + struct.pack("!I", 56) + bytes([20]) + getport)
put("mapcall", "rpcver3", bytes([0]) + struct.pack("!I", 40) + bytes([20]) +
    ipv4(17, rpc_call(7, 3, 100000, 2, 7)))
put("mapcall", "cut", bytes([0]) + struct.pack("!I", 56) + bytes([20]) + getport[:30])

# Null link-layer frames: flag byte, wire length, frame.
def frame(family, packet):
    return struct.pack("=I", family) + packet

call = frame(2, ipv4(17, udp(111, rpc_call(0xabc, 2, 100005, 3, 3))))
tcp = frame(2, ipv4(6, struct.pack("!HHIIBBHHH", 5000, 80, 1, 0, 0x50, 0x02, 8192, 0, 0)))
put("loopline", "portmap", bytes([2]) + struct.pack("!I", len(call)) + call)
put("loopline", "tcp", bytes([7]) + struct.pack("!I", len(tcp)) + tcp)
put("loopline", "ns", bytes([2]) + struct.pack("!I", 40) + frame(6, bytes(20)))
put("loopline", "af24", bytes([6]) + struct.pack("!I", 1500) + frame(24, ipv4(1, bytes(8)))[:30])
put("loopline", "short", bytes([2]) + struct.pack("!I", 2) + b"\x02\x00")


# Captured frames: a byte choosing the link type (the order of frame_fuzz.cpp's
# table), then the frame.
def ipv6(nh, payload, src=b"\xfd\x77" + bytes(13) + b"\x01", dst=b"\xfd\x77" + bytes(13) + b"\x02"):
    return struct.pack("!IHBB", 0x60000000, len(payload), nh, 64) + src + dst + payload


def tcp_hdr(sport, dport, flags):
    return struct.pack("!HHIIBBHHH", sport, dport, 1, 0, 0x50, flags, 8192, 0, 0)


macs = bytes(range(12))
tag = b"\x81\x00\x00\x07"
cooked = b"\x00\x00\x00\x01\x00\x06" + bytes(8)
put("frame", "ether4", bytes([0]) + macs + b"\x08\x00" + ipv4(6, tcp_hdr(40000, 80, 2)))
put("frame", "vlan6", bytes([0]) + macs + tag + b"\x86\xdd" + ipv6(0, bytes([6, 0]) + bytes(6) + tcp_hdr(1, 80, 2)))
put("frame", "cooked6frag", bytes([1]) + cooked + b"\x86\xdd" + ipv6(44, struct.pack("!BBHI", 17, 0, 0x0009, 7) + udp(80, b"x")))
put("frame", "cooked2", bytes([2]) + b"\x08\x00" + bytes(18) + ipv4(17, udp(53, b"q")))
put("frame", "raw6icmp", bytes([3]) + ipv6(58, bytes([128, 0, 0, 0, 0, 0, 0, 0])))
put("frame", "null6", bytes([6]) + struct.pack("<I", 10) + ipv6(17, udp(80, b"")))
put("frame", "loop4", bytes([7]) + struct.pack(">I", 2) + ipv4(1, bytes(8)))
put("frame", "chain", bytes([5]) + ipv6(60, bytes([60, 0]) + bytes(6) + bytes([0, 9]) + bytes(6))[:70])
