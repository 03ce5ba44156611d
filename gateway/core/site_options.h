#pragma once
// korv-host's options from the site file, so that a service started with
// only --config runs the outputs its site asks for: the file's "options"
// object holds long options by their names without the dashes, each with
// its argument ({"mqtt": "mqtt://broker", "http": "8080", "json": true}).
// The command line wins over the file.

#include <json/value.h>

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace korv_host {

// The site's "options" as arguments for `app`, left out those the command
// line already gave (`app` parsed it). A flag's true is the flag, false its
// "=false"; an option that takes many takes an array. False with a one-line
// `error` naming `site_name`: a name `app` lacks, one only the command line
// may give (config, check, help, version), a value of the wrong kind.
bool SiteOptionArgs(const Json::Value& site, const std::string& site_name, const CLI::App& app,
                    std::vector<std::string>& args, std::string& error);

}  // namespace korv_host
