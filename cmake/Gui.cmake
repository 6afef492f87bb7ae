# The Qt desktop program: every folder of windows and controls goes into one static library,
# so the GUI tests link all of it without main().
find_package(Qt6 REQUIRED COMPONENTS Widgets Network WebEngineWidgets Test)
find_package(X11 REQUIRED)
set(CMAKE_AUTOMOC ON)
set(CMAKE_AUTORCC ON)

file(GLOB VELMORA_GUI_SOURCES CONFIGURE_DEPENDS
    mainwindow/*.cpp mainwindow/*.h desktop/*.cpp desktop/*.h skin/*.cpp skin/*.h splash/*.cpp splash/*.h)
file(GLOB VELMORA_GUI_RESOURCES CONFIGURE_DEPENDS resources/*.qrc)
if(VELMORA_GUI_SOURCES)
    add_library(velmora_gui STATIC ${VELMORA_GUI_SOURCES} ${VELMORA_GUI_RESOURCES})
    target_include_directories(velmora_gui PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(velmora_gui PUBLIC velmora_capture velmora_engine Qt6::Widgets Qt6::Network Qt6::WebEngineWidgets
        ${X11_LIBRARIES} ${X11_XTest_LIB})
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
        add_executable(velmora main.cpp)
        target_link_libraries(velmora PRIVATE velmora_gui)
        target_compile_definitions(velmora PRIVATE VELMORA_VERSION="${PROJECT_VERSION}")
    endif()
endif()

# The help file opens from beside the executable.
configure_file(resources/readme.htm ${CMAKE_CURRENT_BINARY_DIR}/readme.htm COPYONLY)
