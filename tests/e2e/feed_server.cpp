// A local update feed for the end-to-end check: serves FEED_FILE at /feed.xml,
// a 404 page at /missing.xml and the feed after an 11 s delay at /slow.xml.
// Prints the port on the first line of stdout, then serves until killed.
#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: feed_server FEED_FILE\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::stringstream body;
  body << in.rdbuf();
  const std::string feed = body.str();
  httplib::Server server;
  server.Get("/feed.xml", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(feed, "application/rss+xml");
  });
  server.Get("/missing.xml", [](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    res.set_content("<html><body>Not Found</body></html>", "text/html");
  });
  server.Get("/slow.xml", [&](const httplib::Request&, httplib::Response& res) {
    std::this_thread::sleep_for(std::chrono::seconds(11));
    res.set_content(feed, "application/rss+xml");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  if (port <= 0) return 1;
  std::printf("%d\n", port);
  std::fflush(stdout);
  server.listen_after_bind();
  return 0;
}
