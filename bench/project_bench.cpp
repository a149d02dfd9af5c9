// Project database benchmark: a generated project with 100,000 file items
// is parsed, loaded into TvxMainDatabase and saved back, in memory and
// through the host's files; xmllint, when installed, reads the same file
// as a point of comparison.
//
//   project_bench [FILES]        (default 100000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "database/VXClasses.h"
#include "system/kqStrUtils.h"
#include "system/sandbox/SandboxHost.h"

namespace {

using Clock = std::chrono::steady_clock;

// Best of three runs, in milliseconds.
double Time(const std::function<void()>& work) {
  double best = 1e30;
  for (int i = 0; i < 3; ++i) {
    auto start = Clock::now();
    work();
    best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return best;
}

std::string Generate(int files) {
  const int perComponent = 100;
  const int components = (files + perComponent - 1) / perComponent;
  std::string x = "<?xml version=\"1.0\"?>\r\n<vx2project version=\"2.0\" activeinstalltype=\"typical\">\r\n";
  x += "\t<variables>\r\n";
  for (int i = 0; i < 50; ++i) x += vx::Format("\t\t<var name=\"Var%d\" value=\"C:\\Program Files\\App%d\"/>\r\n", i, i);
  x += "\t</variables>\r\n\t<packages>\r\n\t\t<package id=\"main\" main=\"1\" filename=\"setup.exe\"/>\r\n\t</packages>\r\n";
  x += "\t<components>\r\n";
  int n = 0;
  for (int c = 0; c < components; ++c) {
    x += vx::Format("\t\t<component id=\"comp%d\" name=\"Component %d\" package=\"main\">\r\n\t\t\t<files>\r\n", c, c);
    for (int f = 0; f < perComponent && n < files; ++f, ++n)
      x += vx::Format(
          "\t\t\t\t<file id=\"file%d\" src=\"data\\%d\\file%d.dll\" dst=\"%%AppDir%%\\bin\\%d\\file%d.dll\" "
          "flags=\"%s\"%s/>\r\n",
          n, c, n, c, n, (n % 3 == 0) ? "reg_server,shared" : "dont_log",
          (n % 10 == 0) ? " condition=\"FileExists(&#x22;x&#x22;)\"" : "");
    x += "\t\t\t</files>\r\n\t\t</component>\r\n";
  }
  x += "\t</components>\r\n\t<features>\r\n";
  for (int c = 0; c < components; ++c)
    x += vx::Format("\t\t<feature id=\"feat%d\" name=\"Feature %d\"><components><component id=\"comp%d\"/>"
                    "</components></feature>\r\n",
                    c, c, c);
  x += "\t</features>\r\n\t<installtypes>\r\n\t\t<installtype id=\"typical\" default=\"1\"><features>";
  for (int c = 0; c < components; c += 2) x += vx::Format("<feature id=\"feat%d\"/>", c);
  x += "</features></installtype>\r\n\t</installtypes>\r\n</vx2project>\r\n";
  return x;
}

}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 100000;
  const std::string text = Generate(files);
  std::printf("project: %d file items, %.1f MB of XML\n", files, text.size() / 1048576.0);

  double parse = Time([&] {
    vx::TXMLTag tag;
    tag.Parse(text);
  });
  vx::TXMLTag tag;
  tag.Parse(text);
  double load = Time([&] {
    vx::TvxMainDatabase db;
    db.Assign(tag);
  });
  vx::TvxMainDatabase db;
  db.Assign(tag);
  std::string saved;
  double save = Time([&] {
    vx::TXMLTag out;
    out.SetName("vx2project");
    db.AssignTo(out);
    saved = out.GetXML(0);
  });
  double select = Time([&] { db.SelectInstallType("typical"); });
  std::printf("parse (text -> tags)          %8.1f ms\n", parse);
  std::printf("load (tags -> database)       %8.1f ms\n", load);
  std::printf("parse + load                  %8.1f ms\n", parse + load);
  std::printf("save (database -> text)       %8.1f ms   (%.1f MB)\n", save, saved.size() / 1048576.0);
  std::printf("select install type           %8.1f ms   (%d features)\n", select, db.Features->Count());

  // The same through files of a sandbox machine (drive Z: is the native root).
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / vx::Format("vxbench-%d", int(std::rand()));
  fs::create_directories(dir);
  {
    fs::path root = dir / "machine";
    vx::SandboxHost::InitMachine(root.string(), vx::MachineKind::XP);
    vx::SandboxOptions options;
    options.hostWritable = true;
    vx::SandboxHost host(root.string(), options);
    vx::ScopedHost scope(host);
    const std::string native = (dir / "project.xml").string();
    const std::string path = host.WindowsPath(native);
    bool ok = true;
    double fileSave = Time([&] { ok = ok && db.SaveToFile(path, "vx2project"); });
    double fileLoad = Time([&] {
      vx::TvxMainDatabase loaded;
      ok = ok && loaded.LoadFromFile(path, "vx2project");
    });
    std::printf("SaveToFile                    %8.1f ms\n", fileSave);
    std::printf("LoadFromFile (parse + load)   %8.1f ms%s\n", fileLoad, ok ? "" : "   FAILED");

    if (std::system("command -v xmllint >/dev/null 2>&1") == 0) {
      std::string cmd = "xmllint --noout '" + native + "'";
      double peer = Time([&] { std::system(cmd.c_str()); });
      std::printf("peer: xmllint --noout         %8.1f ms   (LoadFromFile / xmllint = %.2f)\n", peer,
                  fileLoad / peer);
    }
  }
  fs::remove_all(dir);
  return 0;
}
