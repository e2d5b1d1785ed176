# The server a plug-in build connects to when the account names none: the address service
# (host and port) that tells the plug-in which MRIM server to use, and the IPv4 address of the
# MRIM server dialled (on port 443) when that service gives no usable answer. These are values
# of a deployment, compiled into the plug-in and into every program and test that needs them;
# the shipped defaults are reserved example names that reach nobody, so a build for a real
# network sets them:  cmake ... -DMRIM_DEFAULT_SERVER=mrim.example.org -DMRIM_FALLBACK_SERVER=198.51.100.7
set(MRIM_DEFAULT_SERVER "mrim.example.net" CACHE STRING "Host name of the default address service")
set(MRIM_DEFAULT_PORT "443" CACHE STRING "Port of the default address service")
# 192.0.2.1 is a documentation address: a placeholder that no network routes.
set(MRIM_FALLBACK_SERVER "192.0.2.1" CACHE STRING "IPv4 address of the MRIM server used when the address service fails")

if(NOT MRIM_DEFAULT_SERVER MATCHES "^[A-Za-z0-9.-]+$" OR MRIM_DEFAULT_SERVER MATCHES "^.{256}")
  message(FATAL_ERROR "MRIM_DEFAULT_SERVER must be a host name, not '${MRIM_DEFAULT_SERVER}'")
endif()
if(NOT MRIM_DEFAULT_PORT MATCHES "^[0-9]+$" OR MRIM_DEFAULT_PORT LESS 1 OR MRIM_DEFAULT_PORT GREATER 65535)
  message(FATAL_ERROR "MRIM_DEFAULT_PORT must be a port from 1 to 65535, not '${MRIM_DEFAULT_PORT}'")
endif()
if(NOT MRIM_FALLBACK_SERVER MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "MRIM_FALLBACK_SERVER must be an IPv4 address, not '${MRIM_FALLBACK_SERVER}'")
endif()

add_compile_definitions(MRIM_DEFAULT_SERVER_HOST="${MRIM_DEFAULT_SERVER}" MRIM_DEFAULT_PORT=${MRIM_DEFAULT_PORT}
                        MRIM_FALLBACK_SERVER_HOST="${MRIM_FALLBACK_SERVER}")
