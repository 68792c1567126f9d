// A local program's connections, run as another user by the tests: opens
// the given number of connections to the port, sends each the request (JSON
// string; "" sends nothing), prints one JSON line of the first line each
// connection was answered with ("" when none came within the wait), and
// holds the connections open until its standard input closes.
import net from "node:net";

const [port, count, request, waitMs = "1000"] = process.argv.slice(2);
const firstLines = await Promise.all(Array.from({ length: Number(count) }, () => new Promise((resolve) => {
  const socket = net.connect(Number(port), "127.0.0.1", () => socket.write(JSON.parse(request)));
  let answer = "";
  const timer = setTimeout(() => resolve(answer.split("\r\n")[0]), Number(waitMs));
  socket.on("data", (chunk) => {
    answer += chunk;
    if (answer.includes("\r\n\r\n")) {
      clearTimeout(timer);
      resolve(answer.slice(0, answer.indexOf("\r\n")) + " " + answer.slice(answer.indexOf("\r\n\r\n") + 4));
    }
  });
  socket.on("error", () => {});
})));
console.log(JSON.stringify(firstLines));
process.stdin.resume();
process.stdin.on("end", () => process.exit(0));
