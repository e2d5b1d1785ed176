#!/usr/bin/env bash
# Keeps the tree free of real-world internet names: every e-mail address and host name in the
# tracked files must end in a name reserved for examples and tests (.test, .example, .invalid,
# example.com, example.net, example.org) or be localhost, and every IPv4 literal must be
# loopback (127.0.0.0/8) or from a documentation range (192.0.2.0/24, 198.51.100.0/24,
# 203.0.113.0/24). Prints each offending name as FILE:LINE: NAME and exits 1 when there is one.
#
#   scripts/check-names.sh [FILE...]      (default: every text file of the tree that git tracks
#                                          or would track: new files count before they are added)
#
# What counts as a host name is decided from its context, so that code such as foo.cpp,
# record.host or std::string is not taken for one:
#   - the domain of an e-mail address (user@host.example);
#   - the host of a URL (scheme://name/...);
#   - a dotted name followed by a port (host.example:443);
#   - a dotted name that is the whole of a quoted text ("host.example", 'host.example', `host.example`).
# In the last two forms a name whose last part is a file extension (MRIM.dll, online.cpp:120)
# is a file name, not a host, and the dotted keys of the protocol's user-information packet
# (MESSAGES.TOTAL and its kin) and locale names (C.UTF-8) are no hosts either. A name written
# in prose without quotes or a port is not looked at. An IPv4 literal is any dotted quad of numbers up to 255; one with the
# word "version" shortly before it on the same line (a version resource, a version constant) is
# a version number, not an address. IPv6 literals are not looked at (the tree has none).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if [ "$#" -gt 0 ]; then
  files=("$@")
else
  # Text files only (grep -I skips binary ones such as the icons).
  mapfile -t files < <(git ls-files -z --cached --others --exclude-standard | xargs -0 grep -I -l '' --)
fi

perl -e '
  use strict;
  use warnings;

  my @reserved_suffixes = (".test", ".example", ".invalid", ".example.com", ".example.net", ".example.org");
  my %reserved_names = map { $_ => 1 } ("localhost", "example.com", "example.net", "example.org");
  my %file_extensions = map { $_ => 1 } qw(
    bat bin bmp c cc cmake conf cpp csv dat db dbg debug def dll exe gz h history hpp ico inc ini json lib log
    md o out pem png py rc reg so sock sqlite sh svg tar tmp txt xml yml yaml zip);

  my %protocol_keys = map { lc($_) => 1 } qw(MESSAGES.TOTAL MESSAGES.UNREAD MRIM.NICKNAME client.endpoint
                                                   micblog.status.id micblog.status.time micblog.status.text);
  # Locale names are dotted too (C.UTF-8, en_US.UTF-8): the part after the dot is a character set.
  sub locale_name { return shift =~ /^[A-Za-z_]+\.(utf-?8|cp1251|koi8-r)$/i; }

  sub reserved_host {
    my $name = lc shift;
    $name =~ s/\.$//;
    return 1 if $reserved_names{$name};
    for my $suffix (@reserved_suffixes) {
      return 1 if substr($name, -length $suffix) eq $suffix;
    }
    return 0;
  }

  # A dotted name whose last part has a letter; an all-numeric one is left to the IPv4 rule.
  sub host_like {
    my $name = shift;
    return $name =~ /\.[A-Za-z0-9-]*[A-Za-z][A-Za-z0-9-]*$/;
  }

  sub file_name {
    my $name = shift;
    my ($extension) = $name =~ /\.([^.]+)$/;
    return $file_extensions{lc $extension};
  }

  sub allowed_ipv4 {
    my @octets = @_;
    return 1 if $octets[0] == 127;
    my $net = join ".", @octets[0 .. 2];
    return $net eq "192.0.2" || $net eq "198.51.100" || $net eq "203.0.113";
  }

  my $bad = 0;
  my $label = qr/[A-Za-z0-9](?:[A-Za-z0-9-]*[A-Za-z0-9])?/;
  my $dotted = qr/$label(?:\.$label)+/;
  for my $file (@ARGV) {
    open(my $in, "<", $file) or die "check-names: cannot read $file\n";
    while (my $line = <$in>) {
      my %found;
      while ($line =~ /[A-Za-z0-9._%+-]@($dotted)/g) {
        $found{$1} = 1 if host_like($1);
      }
      while ($line =~ m{[A-Za-z][A-Za-z0-9+.-]*://(?:[^/\s\@]*\@)?($dotted)}g) {
        $found{$1} = 1 if host_like($1);
      }
      while ($line =~ /(?<![A-Za-z0-9._\@-])($dotted):\d{1,5}(?!\d)/g) {
        $found{$1} = 1 if host_like($1) && !file_name($1);
      }
      while ($line =~ /(["\x27`])($dotted)\1/g) {
        $found{$2} = 1 if host_like($2) && !file_name($2);
      }
      for my $name (sort keys %found) {
        next if reserved_host($name) || $protocol_keys{lc $name} || locale_name($name);
        print "$file:$.: host name $name\n";
        $bad = 1;
      }
      while ($line =~ /(?<![0-9.])(\d{1,3})\.(\d{1,3})\.(\d{1,3})\.(\d{1,3})(?![0-9]|\.[0-9])/g) {
        my @octets = ($1, $2, $3, $4);
        next if grep { $_ > 255 } @octets;
        my $before = substr($line, 0, $-[0]);
        next if substr($before, -24) =~ /version/i;
        next if allowed_ipv4(@octets);
        print "$file:$.: IPv4 address ", join(".", @octets), "\n";
        $bad = 1;
      }
    }
    close($in);
  }
  if ($bad) {
    print "check-names: use names reserved for examples (.test, .example, .invalid, example.com/net/org)",
          " and loopback or documentation addresses\n";
    exit 1;
  }
  print "check-names: ", scalar(@ARGV), " files, every name reserved\n";
' "${files[@]}"
