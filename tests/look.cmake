# tst_look redraws the images with draw_assets and compares them with the
# committed ones, so the tool must be built first.
if(TARGET tst_look AND TARGET draw_assets)
    add_dependencies(tst_look draw_assets)
endif()
