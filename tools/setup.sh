#!/bin/sh
# Installs what building and testing gallivox needs on Debian 12, as root.
# Packages already present are not fetched again.
set -e
packages="cmake make g++ liblodepng-dev libgtest-dev"
if dpkg-query -W -f='${Status}\n' $packages 2>/dev/null | grep -qv 'install ok installed' ||
   [ "$(dpkg-query -W -f='${Status}\n' $packages 2>/dev/null | wc -l)" -ne "$(echo $packages | wc -w)" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends $packages
fi
