#!/usr/bin/env bash
# Builds the seed corpora of the fuzz targets, one folder per target, from
# the shared sample corpus and from small files generated here. Nothing it
# writes belongs in the repository.
#
#   fuzz/make-seeds.sh <fuzz build folder> [<output folder>]
#
# The output folder defaults to <fuzz build folder>/seeds.
set -euo pipefail

build=$(cd "${1:?usage: make-seeds.sh <fuzz build folder> [<output folder>]}" && pwd)
out=${2:-$build/seeds}
here=$(cd "$(dirname "$0")" && pwd)
corpus=${PW_CORPUS_DIR:-$here/../../shared/corpus}
bin=$build/bin

mkdir -p "$out"/{dbxreader,registryhive,emllist,mimemessage,pstwalk,pststore,pstreader,entryid,bodytext,tnef}

# .dbx files: written by the test suite's fixture writer.
"$bin/make_dbx_seeds" "$out/dbxreader"

# Registry files: small ones in Wine's format, one feature each.
reg=$out/registryhive
printf 'WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win64\n\n[Identities] 1700000000\n#time=1da2b3c4d5e6f70\n"Default User ID"="{5A2F0B61-1C3E-4D7A-9F21-0B3C6A7D8E90}"\n\n[Identities\\\\{5A2F0B61-1C3E-4D7A-9F21-0B3C6A7D8E90}\\\\Software\\\\Microsoft\\\\Outlook Express\\\\5.0] 1700000001\n@="default"\n"Store Root"=str(2):"%%UserProfile%%\\\\Local Settings\\\\Mail"\n"Count"=dword:0000002a\n' >"$reg/identities.reg"
printf 'WINE REGISTRY Version 2\n\n[A\\\\B] 1\n"Blob"=hex:01,02,ff,\\\n  10,20,\\\n  30\n"Expand"=hex(2):25,00,55,00,00,00\n"Multi"=str(7):"one\\0two\\0"\n"None"=hex(0):\n"Esc"="a\\"b\\\\c\\x41\\n"\n' >"$reg/values.reg"
printf 'WINE REGISTRY Version 2\n\n[Software\\\\Wine] 1700000002\n"Version"="win10"\n[Software\\\\Wine\\\\Drives]\n"c:"="hd"\n' >"$reg/wine.reg"

# Messages: the sample .eml files (the large ones slow mutation down).
# For the .eml list, the first byte is the length of a header name that follows.
for f in "$corpus"/eml/*.eml; do
    [[ $(stat -c %s "$f") -le 65536 ]] || continue
    name=$(basename "$f")
    cp "$f" "$out/mimemessage/$name"
    { printf '\004Date'; cat "$f"; } >"$out/emllist/$name"
done
{ printf '\007Subject'; printf 'From: a@b\r\nSubject:  x y  \r\nDate: Mon, 1 Jan 2024 00:00:00 +0000\r\n\r\nbody\r\n'; } >"$out/emllist/crlf.eml"
printf '\003To:\xe9t\xe9\r\nTo: \xff\xfe\r\n' >"$out/emllist/latin1.eml"

# Stores: the smaller samples, plus one written by mkpst when it is built.
for f in "$corpus"/pst/*.pst; do
    [[ $(stat -c %s "$f") -le 300000 ]] || continue
    cp "$f" "$out/pstwalk/"
done
mkpst=${MKPST:-}
if [[ -z $mkpst ]]; then
    mkpst=$(ls "$here"/../build*/bin/mkpst 2>/dev/null | head -n1 || true)
fi
if [[ -n $mkpst && -x $mkpst ]]; then
    desc=$(mktemp)
    cat >"$desc" <<'JSON'
{ "name": "Fuzz", "encryption": "compressible", "deletedItems": true,
  "folders": [ { "name": "Inbox", "containerClass": "IPF.Note",
    "folders": [ { "name": "Sub", "messages": [ { "subject": "inner", "body": "b" } ] } ],
    "messages": [ { "subject": "one", "senderName": "A", "senderAddress": "a@example.org",
      "senderAddressType": "SMTP", "deliveryTime": "2024-03-01T09:30:00Z", "body": "hello",
      "htmlBody": "<p>hello</p>",
      "attachments": [ { "name": "a.txt", "text": "abc" },
                       { "name": "m.eml", "message": { "subject": "embedded", "body": "e" } } ] },
      { "class": "IPM.Note.SMIME", "subject": "two", "senderAddressType": "EX" } ] } ] }
JSON
    "$mkpst" "$desc" "$out/pstwalk/generated.pst" >/dev/null
    rm -f "$desc"
fi

# Whole-store reads: the samples up to 1 MB, the .ost (16 MB unpacked: run
# this target with -max_len=17000000 or libFuzzer cuts it to 1 MB), the
# store mkpst wrote, and the hostile shapes but the 9 MB one.
for f in "$corpus"/pst/*.pst; do
    [[ $(stat -c %s "$f") -le 1048576 ]] || continue
    cp "$f" "$out/pststore/"
done
if [[ -f "$corpus/ost/pstextractortestpdf_outlook.com.ost.xz" ]]; then
    xz -dc "$corpus/ost/pstextractortestpdf_outlook.com.ost.xz" >"$out/pststore/outlook.com.ost"
fi
[[ -f "$out/pstwalk/generated.pst" ]] && cp "$out/pstwalk/generated.pst" "$out/pststore/"
if [[ -x "$bin/make_shape_seeds" ]]; then
    "$bin/make_shape_seeds" "$out/pststore"
    rm -f "$out/pststore/data-tree-two-levels.pst"
fi

# The reader's own target reads the same stores.
cp "$out/pststore/"* "$out/pstreader/" 2>/dev/null || true

# Bodies: first byte odd for RTF, even for HTML (the rest picks a code page).
b=$out/bodytext
printf '\000<html><head><meta charset="windows-1251"><title>t</title><style>p{}</style></head><body><p>Hello&nbsp;&amp; &#x1F600; &#233;<br>line</p><!-- c --><table><tr><td>a</td><td>b</td></tr></table><script>x<y</script></body></html>' >"$b/page.html"
printf '\002<p>caf\xe9 &euro; &unknown; &#65; &#xZZ; <a href="x">link</a>' >"$b/latin1.html"
printf '\001{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0 Arial;}}{\\colortbl;\\red0\\green0\\blue0;}\\pard Hello \\b bold\\b0\\par caf\\'"'"'e9 \\u8364? \\tab x\\line{\\*\\htmltag <p>}}' >"$b/doc.rtf"
printf '\005{\\rtf1\\ansi\\ansicpg932\\uc1 \\'"'"'82\\'"'"'a0 {\\*\\generator x;}\\u12354\\'"'"'82\\'"'"'a0\\par}' >"$b/cp932.rtf"

# winmail.dat wrappers: those of the sample messages, each attached message
# inside them as a stream of its own, and the pieces cut short.
if command -v python3 >/dev/null; then
    python3 - "$corpus/eml" "$out/tnef" <<'PY'
import email, os, struct, sys
src, dst = sys.argv[1], sys.argv[2]
iid = bytes.fromhex("0703020000000000c000000000000046")
for name in sorted(os.listdir(src)):
    with open(os.path.join(src, name), "rb") as f:
        message = email.message_from_binary_file(f)
    for n, part in enumerate(p for p in message.walk() if p.get_content_type() == "application/ms-tnef"):
        data = part.get_payload(decode=True) or b""
        base = os.path.join(dst, f"{name}-{n}")
        if len(data) <= 65536:
            open(base + ".dat", "wb").write(data)
        at = data.find(iid)
        while at >= 4:
            length = struct.unpack_from("<I", data, at - 4)[0]
            inner = data[at + 16:at + length]
            if len(inner) <= 65536:
                open(f"{base}-inner{at}.dat", "wb").write(inner)
            open(f"{base}-head{at}.dat", "wb").write(data[:min(len(data), 4096)])
            at = data.find(iid, at + 1)

# One built here: files of one name, a name with a path, an attached message
# with a recipient and a file of its own.
def attr(level, aid, data): return struct.pack("<BII", level, aid, len(data)) + data + struct.pack("<H", sum(data) & 0xFFFF)
def pad(b): return b + b"\0" * ((-len(b)) % 4)
def pstr(pid, s, t=0x1E):
    b = s.encode("utf-16le") + b"\0\0" if t == 0x1F else s.encode("cp1252") + b"\0"
    return struct.pack("<HHII", t, pid, 1, len(b)) + pad(b)
def pint(pid, v): return struct.pack("<HHI", 3, pid, v)
def pobj(pid, b): return struct.pack("<HHII", 0xD, pid, 1, len(b) + 16) + pad(iid + b)
def props(*ps): return struct.pack("<I", len(ps)) + b"".join(ps)
def stream(*attrs): return struct.pack("<IH", 0x223E9F78, 1) + b"".join(attrs)
head = attr(1, 0x00089006, b"\0\0\1\0") + attr(1, 0x00069007, struct.pack("<II", 1252, 0))
def rend(): return attr(2, 0x00069002, b"\1\0" + b"\0" * 12)
def fileatt(title, data, *ps):
    return rend() + attr(2, 0x00018010, title.encode() + b"\0") + attr(2, 0x0006800F, data) + (attr(2, 0x00069005, props(*ps)) if ps else b"")
inner = stream(head, attr(1, 0x00018004, b"Inner\0"), attr(1, 0x0002800C, b"hello\0"),
               attr(1, 0x00069003, props(pstr(0x0C1A, "Sender \u00e9", 0x1F), pstr(0x5D01, "s@example.org"))),
               attr(1, 0x00069004, struct.pack("<I", 1) + props(pstr(0x3001, "Bob"), pstr(0x39FE, "bob@example.org"), pint(0x0C15, 1))),
               fileatt("inner.txt", b"inner data", pstr(0x3707, "inner file.txt"), pstr(0x370E, "text/plain")))
outer = stream(head, fileatt("A.TXT", b"first", pstr(0x3707, "same.txt")), fileatt("B.TXT", b"second", pstr(0x3707, "same.txt", 0x1F)),
               fileatt("C.TXT", b"third", pstr(0x3707, "..\\..\\dir/../evil.txt")),
               rend() + attr(2, 0x00018010, b"Untitled Attachment\0") +
               attr(2, 0x00069005, props(pstr(0x3001, "Attached note"), pint(0x3705, 5), pobj(0x3701, inner))))
open(os.path.join(dst, "built.dat"), "wb").write(outer)
PY
fi

# EntryIDs: the target writes them from the store it aims at.
PW_FUZZ_EMIT_SEEDS="$out/entryid" "$bin/fuzz_entryid" -runs=0 >/dev/null 2>&1 || true

for d in "$out"/*/; do
    echo "$(basename "$d"): $(ls "$d" | wc -l) seeds"
done
