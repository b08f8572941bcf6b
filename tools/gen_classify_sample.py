#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Writes tests/data/classify_sample.jsonl: synthetic advertisements (BLE payloads and Wi-Fi
element lists built here, no radio) covering the signature catalogue, plus invalid lines.
Run from the source root. After a deliberate output change, refresh the expected file with
  build/orvik-classify tests/data/classify_sample.jsonl > tests/data/classify_sample.expected.jsonl
(from the source root, so that the vendor tables in ./assets are used) and review the diff."""
import json
def ad(t,b): return bytes([len(b)+1,t])+b
def le16(v): return bytes([v&0xff,v>>8])
def mfg(cid,d=b''): return ad(0xff,le16(cid)+d)
def u16(*ids): return ad(3,b''.join(le16(i) for i in ids))
def svc(u,d=b''): return ad(0x16,le16(u)+d)
def name(n): return ad(9,n.encode())
def ie(i,b): return bytes([i,len(b)])+b
def u128(text):
    b=bytes.fromhex(text.replace('-',''))
    return ad(7,b[::-1])
flags=ad(1,b'\x06')
T=1733600000000
def ble(mac,raw,kind='PUBLIC',rssi=-60,**kw):
    d={"radio":"BLE","mac":mac,"rssi":rssi,"addrType":kind,"connectable":1,"phy":"LE 1M (legacy)","raw":raw.hex().upper(),"time":T}
    d.update(kw); return json.dumps(d,separators=(',',':'))
def wifi(mac,ssid,ies=b'',**kw):
    d={"radio":"WIFI","mac":mac,"ssid":ssid,"rssi":-70,"freq":2437,"caps":"[ESS]","ies":ies.hex().upper(),"time":T}
    d.update(kw)
    d={k:v for k,v in d.items() if v is not None}
    return json.dumps(d,separators=(',',':'))
basic=bytes([0x02,0x12])+b'1581F5FKD229400ABC'.ljust(20,b'\0')+bytes(3)
rid=bytes([0x0d,0x01])+basic
loc=bytes([0x12,0x20,90,100,0x04])+(473977420).to_bytes(4,'little',signed=True)+(85455940).to_bytes(4,'little',signed=True)+bytes(2)+(2200).to_bytes(2,'little')+(2080).to_bytes(2,'little')+bytes(6)
assert len(loc)==25 and len(basic)==25
pack=bytes([0x0d,0x02,0xF2,25,2])+basic+loc
wbody=bytes([0xFA,0x0B,0xBC])+pack
lines=[
"# orvik-classify regression capture: synthetic advertisements built from the signature catalogue (no radio); expected output in classify_sample.expected.jsonl",
ble("00:25:DF:11:22:33",flags+mfg(0x034D,b'\x01\x02')+u16(0xFE6B)+name("BWCDEVICE-X1")),
ble("7A:11:22:33:44:55",flags+svc(0xFEAA,b'\x41\x00\x11'),kind="RESOLVABLE_PRIVATE",rssi=-71),
ble("D4:00:00:00:00:01",flags+name("Penguin-20394857")+mfg(0x09C8,b'0123456789TN'),kind="RANDOM_STATIC"),
ble("D4:00:00:00:00:02",flags+name("FS-3A9F")),
ble("D4:00:00:00:00:03",mfg(0x09C8,b'0123456789TN44')),
ble("40:00:00:00:00:04",flags+u16(0x3100,0x3300,0x3500)),
ble("C0:11:22:33:44:55",flags+svc(0xFFFA,rid),kind="RANDOM_STATIC"),
ble("60:60:1F:12:34:56",flags+mfg(0x08AA,b'\x70\x00\x01')),
ble("C6:60:1F:12:34:56",flags+mfg(0x08AA,b'\x70\x00\x01'),kind="RANDOM_STATIC"),
ble("60:60:1F:12:34:57",flags+mfg(0x08AA,b'\x06\x00')),
ble("5E:00:00:00:00:07",flags+mfg(0x004C,b'\x12\x19\x10'+bytes(22)),kind="RESOLVABLE_PRIVATE"),
ble("00:07:80:00:00:08",flags+u16(0xFE79)+name("XXABC123456789")),
ble("C2:00:00:00:00:09",flags+u128("632de001-604c-446b-a80f-7963e950f3fb"),kind="RANDOM_STATIC"),
ble("C2:00:00:00:00:0A",flags+mfg(0x058E,b'..META_RB_GLASS..')+mfg(0x01AB,b'\x01'),kind="RANDOM_STATIC"),
ble("C2:00:00:00:00:0B",flags+mfg(0x0006,b'\x01\x09\x20\x02')+name("Surface Pen"),kind="RANDOM_STATIC"),
ble("00:11:22:33:44:56",b'',kind="UNKNOWN"),
wifi("A4:11:62:00:00:01","ARLO_VMB_4412"),
wifi("66:AA:BB:00:00:02","Flock-4F2A91"),
wifi("60:60:1F:AA:00:03","DIRECT-Mavic",bytes([221,len(wbody)])+wbody),
wifi("E0:A7:00:11:22:33","\"Lobby\""),
wifi("00:1A:2B:3C:4D:5E","home-net",caps=None),
# identity, fingerprint, distance and address checks
ble("5E:00:00:00:00:0C",flags+mfg(0x004C,bytes([0x07,0x19,0x01,0x14,0x20,0x0B,0x77,0x8F,0x01])+bytes(18)),kind="RESOLVABLE_PRIVATE",rssi=-59),
ble("C0:00:00:00:00:0D",flags+u16(0x180D)+ad(0x0A,b'\x04')+name("Galaxy Watch"),kind="RANDOM_STATIC",rssi=-62),
ble("C0:00:00:00:00:0E",flags+svc(0xFE2C,b'\x00\x01\x02')+name("  WH-1000XM4 "),kind="RANDOM_STATIC",rssi=-75,connectable=0),
ble("02:11:22:33:44:55",flags+name("Mislabelled"),kind="PUBLIC"),
ble("F4:FF:FF:00:00:01",flags+mfg(0x0059,b'\x01\x02'),kind="PUBLIC",rssi=-90),
wifi("A0:04:60:11:22:33","HomeNet",ie(221,bytes.fromhex("0050F2041021000D")+b"NETGEAR, Inc."+bytes.fromhex("10230005")+b"R7000")+ie(221,bytes.fromhex("0010180200")),rssi=-40,caps="[WPA2-PSK-CCMP][ESS]"),
wifi("24:0A:C4:11:22:33","",freq=5180,rssi=-80),
"",
"not json",
"[1,2]",
json.dumps({"radio":"BLE","mac":"00:11:22:33:44:55"}),
json.dumps({"radio":"ZIGBEE","mac":"00:11:22:33:44:55","raw":""}),
json.dumps({"radio":"BLE","mac":"00:11:22:33:44","raw":"0201"}),
json.dumps({"radio":"BLE","mac":"00:11:22:33:44:55","raw":"02G1"}),
json.dumps({"radio":"BLE","mac":"00:11:22:33:44:55","raw":"020","addrType":"PUBLIC"}),
json.dumps({"radio":"BLE","mac":"00:11:22:33:44:55","raw":"","addrType":"PRIVATE"}),
json.dumps({"radio":"WIFI","mac":"00:11:22:33:44:55","ssid":"x","rssi":"strong","ies":""}),
json.dumps({"radio":"WIFI","mac":"00:11:22:33:44:55","ssid":"x"}),
'{"radio":"BLE","mac":"00:11:22:33:44:55","raw":""} trailing',
]
open('tests/data/classify_sample.jsonl','w').write('\n'.join(lines)+'\n')
