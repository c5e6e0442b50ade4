# The order the layers may use each other, in one place: read by qv_add_layer (cmake/QvLayer.cmake)
# for the layers a target links and by cmake/CheckLayering.cmake for the headers a source includes.
#   platform <- foundation <- {commlib <- webserver <- registry, httpclient} <- app and cli;
#   controls sees foundation (and platform).
# may_use_<layer> lists the layers <layer> may include from, itself included.
set(QV_LAYERS platform foundation commlib webserver registry httpclient controls cli app)
set(may_use_platform platform)
set(may_use_foundation ${may_use_platform} foundation)
set(may_use_commlib ${may_use_foundation} commlib)
set(may_use_webserver ${may_use_commlib} webserver)
set(may_use_registry ${may_use_webserver} registry)
set(may_use_httpclient ${may_use_foundation} httpclient)
set(may_use_controls ${may_use_foundation} controls)
set(may_use_cli ${may_use_registry} httpclient cli)
set(may_use_app ${may_use_registry} httpclient controls app)
