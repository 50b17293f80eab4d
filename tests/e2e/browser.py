"""A real browser for the end-to-end tests: Debian's headless Chromium,
driven through its DevTools protocol over a WebSocket (Python's standard
library only). A test opens a page, waits in the page for exactly the state
it asserts (a MutationObserver, no polling), reads the DOM, clicks, and keeps
a screenshot.

Environment: CHROMIUM names the browser (default: chromium on the PATH).
"""
import base64
import hashlib
import json
import os
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time
import urllib.request

CHROMIUM = os.environ.get("CHROMIUM") or shutil.which("chromium") or shutil.which("chromium-browser") or ""
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--window-size=1280,900", "--remote-debugging-port=0"]
LISTENING = "DevTools listening on ws://"
START_TIMEOUT_S = 60
CALL_TIMEOUT_S = 60


class WebSocket:
    """A client WebSocket (RFC 6455): text frames out (masked), whole
    messages in."""

    def __init__(self, url, timeout=CALL_TIMEOUT_S):
        assert url.startswith("ws://")
        hostport, path = url[5:].split("/", 1)
        host, port = hostport.rsplit(":", 1)
        self.sock = socket.create_connection((host, int(port)), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall(("GET /%s HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                           "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n"
                           % (path, hostport, key)).encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError("the browser closed the WebSocket handshake")
            head += chunk
        head, self.buffer = head.split(b"\r\n\r\n", 1)
        accept = base64.b64encode(hashlib.sha1((key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11").encode())
                                  .digest()).decode()
        if b" 101 " not in head.split(b"\r\n")[0] or accept.encode() not in head:
            raise ConnectionError("WebSocket handshake refused: %r" % head)

    def send(self, text):
        data = text.encode()
        mask = os.urandom(4)
        n = len(data)
        if n < 126:
            header = struct.pack("!BB", 0x81, 0x80 | n)
        elif n < 65536:
            header = struct.pack("!BBH", 0x81, 0xFE, n)
        else:
            header = struct.pack("!BBQ", 0x81, 0xFF, n)
        self.sock.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))

    def _read(self, n):
        while len(self.buffer) < n:
            chunk = self.sock.recv(1 << 16)
            if not chunk:
                raise ConnectionError("the browser closed the WebSocket")
            self.buffer += chunk
        out, self.buffer = self.buffer[:n], self.buffer[n:]
        return out

    def receive(self):
        message = b""
        while True:
            b0, b1 = self._read(2)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack("!H", self._read(2))[0]
            elif n == 127:
                n = struct.unpack("!Q", self._read(8))[0]
            payload = self._read(n)
            opcode = b0 & 0x0F
            if opcode == 8:
                raise ConnectionError("the browser closed the WebSocket")
            if opcode in (0, 1, 2):
                message += payload
                if b0 & 0x80:
                    return message.decode()

    def close(self):
        self.sock.close()


class Browser:
    """Headless Chromium with one page, a fresh profile in `folder`."""

    def __init__(self, folder):
        if not CHROMIUM:
            raise RuntimeError("no chromium on the PATH (Debian package chromium)")
        self.profile = tempfile.mkdtemp(prefix="chromium_", dir=folder)
        self.proc = subprocess.Popen([CHROMIUM] + FLAGS + ["--user-data-dir=" + self.profile, "about:blank"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.next_id = 0
        try:
            port = self._devtools_port()
            with urllib.request.urlopen("http://127.0.0.1:%d/json/list" % port, timeout=CALL_TIMEOUT_S) as r:
                pages = [t for t in json.load(r) if t["type"] == "page"]
            self.ws = WebSocket(pages[0]["webSocketDebuggerUrl"])
            self.call("Page.enable")
        except Exception:
            self.close()
            raise

    def _devtools_port(self):
        deadline = time.monotonic() + START_TIMEOUT_S
        while time.monotonic() < deadline:
            line = self.proc.stderr.readline().decode(errors="replace")
            if not line:
                raise RuntimeError("chromium ended before it listened (exit %s)" % self.proc.wait())
            if LISTENING in line:
                # The rest of its standard error is read and dropped, so the browser never blocks on it.
                threading.Thread(target=self.proc.stderr.read, daemon=True).start()
                return int(line.split(LISTENING, 1)[1].split("/", 1)[0].rsplit(":", 1)[1])
        raise RuntimeError("chromium did not say where it listens")

    def call(self, method, **params):
        """One DevTools command; its result (events in between are dropped)."""
        self.next_id += 1
        self.ws.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            message = json.loads(self.ws.receive())
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise RuntimeError("%s: %s" % (method, message["error"]))
                return message["result"]

    def open(self, url):
        self.call("Page.navigate", url=url)
        self.wait_for("document.readyState === 'complete'")

    def evaluate(self, expression):
        """The value of a JavaScript expression in the page (a promise is awaited)."""
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise RuntimeError("in the page: %s" % result["exceptionDetails"])
        return result["result"].get("value")

    def wait_for(self, condition, timeout_s=CALL_TIMEOUT_S - 10):
        """Waits in the page until the JavaScript `condition` holds, woken by
        every change of the DOM; fails after timeout_s."""
        script = """new Promise((resolve, reject) => {
            const holds = () => { try { return !!(%s); } catch (e) { return false; } };
            if (holds()) return resolve(true);
            const watch = new MutationObserver(() => {
                if (holds()) { watch.disconnect(); clearTimeout(timer); resolve(true); } });
            watch.observe(document, {subtree: true, childList: true, attributes: true, characterData: true});
            const timer = setTimeout(() => { watch.disconnect(); resolve(false); }, %d);
        })""" % (condition, int(timeout_s * 1000))
        if not self.evaluate(script):
            raise AssertionError("the page did not reach: %s" % condition)

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", format="png", captureBeyondViewport=True)["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self):
        if getattr(self, "ws", None):
            try:
                self.call("Browser.close")
            except (ConnectionError, OSError, RuntimeError):
                pass
            self.ws.close()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stderr.close()
        shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
