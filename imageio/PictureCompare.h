// Figures that tell how far a decoded picture is from the original, shared
// by the window and `jp2c compare`, and the difference view's heat map.
//
// Both pictures are 24-bit bitmaps (Format_BGR888) of the same size.
#ifndef IMAGEIO_PICTURECOMPARE_H
#define IMAGEIO_PICTURECOMPARE_H

#include <QImage>

struct PictureDifference {
    double psnr = 0;          // dB over all three channels; infinity when equal
    double psnrRed = 0;       // dB of each channel alone
    double psnrGreen = 0;
    double psnrBlue = 0;
    int peak = 0;             // largest absolute sample difference
    double ssim = 1;          // structural similarity of the luma, 0 to 1
};

// The figures for two pictures of the same size; false when the sizes
// differ or a picture is empty.
bool ComparePictures(const QImage& a, const QImage& b, PictureDifference* result);

// Mean SSIM of the luma (ITU-R BT.601 weights to 8 bits) over 8 x 8 windows placed
// every 4 pixels, with the usual constants for 8-bit samples (K1 0.01,
// K2 0.03).  Pictures smaller than a window are measured as one window.
double PictureSsim(const QImage& a, const QImage& b);

// The absolute error per pixel (largest over the channels) times `gain`,
// shown on a heat ramp from black through blue, red and yellow to white.
QImage DifferenceHeatMap(const QImage& a, const QImage& b, int gain);

// The colour of the heat ramp for an amplified error of 0 to 255.
QRgb HeatColour(int level);

#endif
