#!/usr/bin/env python3
"""An independent client of vexa-server, written from the wire description of
the login, dispatch, check and range requests only. It shares no code with the
server: digests come from hashlib, requests are written byte by byte.

usage: client.py PATH/TO/vexa-server
Starts the server on a free loopback port with a scratch data folder, logs in,
uploads a multi-range file, uploads the same content again (instant), a small
file into a nested folder, and checks every file's SHA-1 in /admin/export.
"""

import hashlib
import http.client
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse

SALT = "Lq4Tz&81MwKpNre"
VERSION = "win_1.0.1026.4"
BOUNDARY = "-----------------------vexaupload"
SIGN_SUFFIX = "503418"
CHUNK = 1048576


def sha1_upper(data):
    return hashlib.sha1(data).hexdigest().upper()


def quick_id(content):
    size = len(content)
    if size <= 25600:
        return sha1_upper(content)
    buf = bytearray()
    for off in (0, int(size * 0.13), int(size * 0.37), int(size * 0.62), size - 5120):
        buf += content[off:off + 5120]
    buf += str(size).encode()
    return sha1_upper(bytes(buf))


def url_encode_all(text):
    # Every byte of the UTF-8 form, letters included.
    return "".join("%%%02X" % b for b in text.encode("utf-8"))


def split_url(url):
    parsed = urllib.parse.urlsplit(url)
    path = parsed.path + ("?" + parsed.query if parsed.query else "")
    return parsed.hostname, parsed.port or 80, path


def http_request(method, url, body=b"", content_type=None):
    host, port, path = split_url(url)
    conn = http.client.HTTPConnection(host, port, timeout=30)
    headers = {}
    if content_type:
        headers["Content-Type"] = content_type
    conn.request(method, path, body=body if method == "POST" else None, headers=headers)
    resp = conn.getresponse()
    data = resp.read()
    conn.close()
    if resp.status != 200:
        raise AssertionError("%s %s answered %d: %r" % (method, url, resp.status, data))
    return json.loads(data.decode("utf-8"))


class Client:
    def __init__(self, base):
        self.base = base
        self.session = None

    def login(self, account, password):
        digest = hashlib.sha1(password.encode()).hexdigest().lower()
        now = str(int(time.time()))
        sign = hashlib.md5((account + digest + now + SALT).encode()).hexdigest()
        body = "account=" + account + "&_time=" + now + "&version=" + VERSION + "&sign=" + sign
        answer = http_request("POST", self.base + "/app/clogin", body.encode(),
                              "application/x-www-form-urlencoded")
        self.session = answer
        return answer

    def space(self):
        s = self.session
        return http_request("GET", self.base + "/app/user/space?source=" + s["resource"] +
                            "&user_id=" + s["user_id"])

    def dispatch(self, url, name, size, target, path, fileid, quickid, pickcode, userkey=None):
        s = self.session
        userkey = userkey if userkey is not None else s["userkey"]
        inner = sha1_upper((s["user_id"] + fileid + quickid + pickcode + target + "0").encode()).lower()
        sig = sha1_upper((userkey + inner + SIGN_SUFFIX).encode())
        full = (url + "?appid=0&appversion=" + VERSION + "&format=json&isp=0&sig=" + sig)
        body = ("userid=" + s["user_id"] + "&filename=" + url_encode_all(name) +
                "&filesize=" + str(size) + "&target=" + target + "&path=" + url_encode_all(path) +
                "&fileid=" + fileid + "&quickid=" + quickid + "&pickcode=" + pickcode)
        return http_request("POST", full, body.encode(), "application/x-www-form-urlencoded")

    def transfer_url(self, upload_url, which, ets, size, pickcode, upload_key):
        sig = sha1_upper((SIGN_SUFFIX + upload_key + "0").encode())
        return (upload_url + which + "?appid=0&appversion=" + VERSION + "&format=json&ets=" +
                str(ets) + "&filesize=" + str(size) + "&userid=" + self.session["user_id"] +
                "&pickcode=" + pickcode + "&sig=" + sig)

    def post_range(self, url, fileid, quickid, offset, data, pickcode):
        host, port, path = split_url(url)
        ctrange = "%d-%d" % (offset, offset + len(data))
        head = b""
        for name, value in (("fileid", fileid), ("quickid", quickid), ("ctrange", ctrange),
                            ("cthash", sha1_upper(data))):
            head += ("--" + BOUNDARY + "\r\nContent-Disposition: form-data; name=\"" + name +
                     "\"\r\n\r\n" + value + "\r\n").encode()
        head += ("--" + BOUNDARY + "\r\nContent-Disposition: form-data; name=\"uploadfile\"; "
                 "filename=\"" + pickcode + "\"\r\nContent-Type: application/octet-stream\r\n\r\n").encode()
        tail = ("\r\n--" + BOUNDARY + "--").encode()
        request = ("POST " + path + " HTTP/1.1\r\nConnection: Keep-Alive\r\nHost: " + host +
                   "\r\nAccept: */*\r\nContent-Length: " + str(len(head) + len(data) + len(tail)) +
                   "\r\nContent-Type: multipart/form-data; boundary=" + BOUNDARY +
                   "\r\nUser-Agent: vexaupload\r\n\r\n").encode()
        sock = socket.create_connection((host, port), timeout=30)
        sock.sendall(request + head + data + tail)
        answer = b""
        while True:
            block = sock.recv(5120)
            if not block:
                break
            answer += block
        sock.close()
        status, _, rest = answer.partition(b"\r\n")
        assert status.startswith(b"HTTP/1.1 200"), answer[:200]
        headers, _, body = rest.partition(b"\r\n\r\n")
        return json.loads(body.decode("utf-8"))


def expect(condition, what):
    if not condition:
        raise AssertionError(what)
    print("ok -", what)


def upload(client, content, name, path, use_fileid, use_quickid):
    """Runs the upload road: dispatch (again after 300), check, ranges."""
    s = client.session
    fileid = sha1_upper(content) if use_fileid else ""
    quickid = quick_id(content) if use_quickid else ""
    answer = client.dispatch(s["url_upload"], name, len(content), s["target"], path, fileid,
                             quickid, "")
    exchanges = 1
    if answer.get("statuscode") == 300:
        fileid = sha1_upper(content)
        answer = client.dispatch(s["url_upload"], name, len(content), s["target"], path, fileid,
                                 quickid, "")
        exchanges += 1
    assert answer.get("statuscode", 0) == 0, answer
    if answer.get("status") == 2:
        return answer, exchanges, 0
    pickcode = answer["pickcode"]
    check = client.transfer_url(answer["uploadurl"], "/2.0/check", int(answer["uploadtime"]),
                                len(content), pickcode, answer["uploadkey"])
    offset = int(http_request("GET", check)["offset"])
    big = client.transfer_url(answer["uploadurl"], "/2.0/bigupload", int(answer["uploadtime"]),
                              len(content), pickcode, answer["uploadkey"])
    ranges = 0
    while offset < len(content):
        data = content[offset:offset + CHUNK]
        reply = client.post_range(big, fileid, quickid, offset, data, pickcode)
        assert reply.get("statuscode", 0) == 0, reply
        offset = int(reply["offset"])
        ranges += 1
    return answer, exchanges, ranges


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    data_dir = tempfile.mkdtemp(prefix="vexa-client-")
    token = "client-admin-token"
    server = subprocess.Popen([sys.argv[1], "--listen", "127.0.0.1:0", "--data", data_dir,
                               "--user", "alice:s3cret pass", "--admin-token", token],
                              stdout=subprocess.PIPE, text=True)
    try:
        line = server.stdout.readline().strip()
        expect(line.startswith("listening on http://127.0.0.1:"), "server announced " + line)
        base = line[len("listening on "):]
        client = Client(base)

        refused = client.login("alice", "wrong")
        expect(refused["state"] is False and refused["error"], "a wrong password is refused")
        s = client.login("alice", "s3cret pass")
        expect(s["state"] is True, "login succeeds")
        for key in ("upload_allowed", "is_vip", "user_id", "user_name", "face", "email",
                    "resource", "userkey", "url_upload", "url_resume", "url_cancel", "target",
                    "time_limit", "size_limit", "space", "type_limit", "file_range"):
            expect(key in s, "login answer has " + key)
        for key in ("byte_size_total", "byte_size_used", "byte_size_remain", "size_total",
                    "size_used", "size_remain", "size_used_percent"):
            expect(key in s["space"], "space has " + key)
        expect(sorted(s["file_range"].keys()) == ["0", "1", "2"], "three size classes")
        expect(s["url_upload"].startswith(base), "addresses lie below the base URL")

        space = client.space()
        expect(space["state"] is True and space["user_id"] == s["user_id"], "space query")

        content = os.urandom(2 * CHUNK + 12345)
        answer, exchanges, ranges = upload(client, content, "big file.bin", "", False, True)
        expect(ranges == 3 and answer["status"] != 2, "multi-range upload took 3 ranges")

        answer, exchanges, ranges = upload(client, content, "again é.bin", "copies/deep", False, True)
        expect(exchanges == 2 and ranges == 0 and answer["status"] == 2,
               "same content: 300 exchange, then instant upload")

        small = os.urandom(5000)
        answer, exchanges, ranges = upload(client, small, "small.txt", "copies/deep", True, False)
        expect(ranges == 1, "small file in one range")

        conn = http.client.HTTPConnection("127.0.0.1", int(base.rsplit(":", 1)[1]), timeout=30)
        conn.request("GET", "/admin/export", headers={"X-Admin-Token": token})
        export = json.loads(conn.getresponse().read())
        files = {f["path"]: f for u in export["users"] if u["account"] == "alice" for f in u["files"]}
        expect(files.get("big file.bin", {}).get("sha1") == sha1_upper(content),
               "export holds the first upload with its SHA-1")
        expect(files.get("copies/deep/again é.bin", {}).get("sha1") == sha1_upper(content),
               "export holds the instant upload with its SHA-1")
        expect(files.get("copies/deep/small.txt", {}).get("size") == len(small),
               "export holds the small file")
        used = client.space()["space"]["byte_size_used"]
        expect(used == 2 * len(content) + len(small), "quota charged for every file")
        print("all checks passed")
        return 0
    finally:
        server.terminate()
        code = server.wait(timeout=10)
        shutil.rmtree(data_dir, ignore_errors=True)
        if code != 0:
            print("server exited with", code)
            sys.exit(1)


if __name__ == "__main__":
    sys.exit(main())
