#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into tests/fuzz/corpus/<target>/.

    tests/fuzz/make_corpus.py [path of qz_fuzz_seeds]

The binary messages come from the library's own encoders (the program qz_fuzz_seeds of the fuzz
build); the text formats are written here. Regression inputs of fixed faults live beside the seeds
(files named regression-*) and are left alone.
"""
import os
import struct
import subprocess
import sys
import zlib

here = os.path.dirname(os.path.abspath(__file__))
corpus = os.path.join(here, "corpus")


def put(target, name, data):
    d = os.path.join(corpus, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def txt(*entries):
    out = b""
    for e in entries:
        e = e.encode()
        out += bytes([len(e)]) + e
    return out


def main():
    seeds = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "../../build-fuzz/tests/fuzz/qz_fuzz_seeds")
    subprocess.run([seeds, corpus], check=True, env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))

    put("wt_txt", "media", txt("txtvers=1", "arcp_vers=2.7.41", "arcp_min=2.6.0", "router_vers=4.1.2",
                               "router_info=\"KTV4-S\"", "model=000000010000000A"))
    put("wt_txt", "conmon", txt("cmcp_vers=1.2.0", "cmcp_min=1.0.0", "id=02515afffe012345", "process=3",
                                "vid=0000000000000001", "vba=01020304", "mf=0000000000000001",
                                "model=000000000000000a", "server_vers=4.2.1", "channels=0x40"))
    put("wt_txt", "via", txt("id=02515afffe012345", "process=1", "vers_min=1.0.0", "vers_curr=1.4.2"))
    put("wt_txt", "odd", txt("=", "noequals", "id=", "ID=zz", "") + b"\xff")

    sdp = ("v=0\r\no=- 1423986 1423994 IN IP4 169.254.98.63\r\ns=QZ-test-stream-614 : 2\r\n"
           "i=2 channels: Left, Right\r\nc=IN IP4 239.65.125.63/32\r\nt=0 0\r\n"
           "a=keywds:Velto\r\nm=audio 5004 RTP/AVP 97\r\na=recvonly\r\na=rtpmap:97 L24/48000/2\r\n"
           "a=ptime:1\r\na=ts-refclk:ptp=IEEE1588-2008:02-51-5A-FF-FE-12-34-56:0\r\n"
           "a=mediaclk:direct=0\r\n")
    sap = struct.pack(">BBH", 0x20, 0, 0x1234) + bytes([169, 254, 98, 63]) + b"application/sdp\0"
    put("sdp", "announce", sap + sdp.encode())
    put("sdp", "announce_ptime", sap + sdp.replace("a=ptime:1", "a=ptime:0.125").encode())
    put("sdp", "announce_blanks",
        sap + sdp.replace("rtpmap:97", "rtpmap: 97").replace("a=ptime:1", "a=ptime: 1").encode())
    put("sdp", "deletion", bytes([0x24]) + sap[1:] + sdp.encode())
    put("sdp", "bare_sdp", sdp)

    put("qz_json_setting", "setting", '{\n    "sendInterval": 500\n}\n')
    put("qz_json_setting", "fraction", '{"sendInterval": 99.99}')
    put("qz_json_setting", "negative", '{"sendInterval": -1}')
    with open(os.path.join(here, "../../gui/data/QZVeltoPatch.json"), "rb") as f:
        put("qz_json_patch", "sample", f.read())
    put("qz_json_patch", "small",
        '{"devs":[{"id":3,"devType":"RQA-310","rxChs":[{"rxCh":1,"txCh":2,"id":1,"devType":"KTV4-S"}]}]}')
    put("qz_json_patch", "malformed", '{"devs":[{"id":"x","devType":7,"rxChs":{}}]')

    put("qz_settings", "settings", "[APP]\nPosX=100\nPosY=80\nWidth=800\nHeight=600\n\n[DEVICE]\nKTV4S=2\n"
                                   "Area1=9\nArea2=8\nArea3=8\nArea4=8\n\n[NIC]\nMAC_Address=02:00:00:00:00:01\n")
    put("qz_settings", "odd", "[DEVICE]\nKTV4S=99999999999\nArea1=-3\n[NIC]\nMAC_Address=@ByteArray(\\x1)\n")

    # Firmware, version 2: header {magic, header size, version, device code 9, 0, folded byte sum,
    # row count}, rows {type, offset, size}, then the sections.
    def v2(rows, sections):
        header = 28 + 12 * len(rows)
        data = bytearray(struct.pack(">4sIIIIII", b"QNBR", header, 2, 9, 0, 0, len(rows)))
        for row in rows:
            data += struct.pack(">III", *row)
        data += sections
        total = sum(b for i, b in enumerate(data) if not 20 <= i <= 23)
        data[20:24] = struct.pack(">I", (total & 0xFFFF) + (total >> 16))
        return bytes(data)
    put("wfa_fw", "v2_two_sections", v2([(1, 0, 8), (12, 8, 8)], bytes(range(16))))
    put("wfa_fw", "v2_image", v2([(9, 0, 64)], bytes(64)))
    v3 = struct.pack(">4sIII", b"QNBR", 64, 3, 0) + bytes(48)
    put("wfa_fw", "v3_header", v3 + struct.pack(">I", zlib.crc32(v3)))

if __name__ == "__main__":
    main()
